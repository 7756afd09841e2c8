#include "tests/support/faults.h"

#include <string>

#include "base/failure.h"

namespace kelvane::testing {

const char* opName(Op op) {
  switch (op) {
    case Op::List:
      return "list folder";
    case Op::Exists:
      return "existence test";
    case Op::FileTest:
      return "file test";
    case Op::FolderTest:
      return "folder test";
    case Op::CreateFolder:
      return "create folder";
    case Op::ResolvePath:
      return "resolve path";
    case Op::Identity:
      return "identity";
    case Op::OpenFolder:
      return "open folder";
    case Op::Leave:
      return "leave folder";
    case Op::Delete:
      return "delete file";
    case Op::RemoveFolder:
      return "remove folder";
    case Op::Open:
      return "open";
    case Op::Read:
      return "read";
    case Op::Write:
      return "write";
    case Op::Rename:
      return "rename";
    case Op::Lock:
      return "lock";
    case Op::Start:
      return "start process";
  }
  return "?";
}

void Faults::check(Op op, const std::string& path) {
  if (beforeOperation) beforeOperation(op, path);
  ++operations_;
  int n = ++counts_[op];
  if (operations_ == failAt_)
    throw Failure(EIO, std::string("Injected fault in ") + opName(op) + " \"" + path + "\"",
                  opName(op));
  auto fault = faults_.find(op);
  if (fault != faults_.end() && fault->second.nth == n)
    throw systemFailure(fault->second.err, std::string("Injected fault in ") + opName(op), path,
                        opName(op));
}

}  // namespace kelvane::testing
