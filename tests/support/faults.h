#pragma once

#include <cerrno>
#include <functional>
#include <map>
#include <string>

namespace kelvane::testing {

// The operations a test can make fail.
enum class Op {
  List,
  Exists,
  FileTest,
  FolderTest,
  CreateFolder,
  ResolvePath,
  Identity,
  OpenFolder,
  Leave,
  Delete,
  RemoveFolder,
  Open,
  Read,
  Write,
  Rename,
  Lock,
  Start,
};

const char* opName(Op op);

// The faults a test injects, counted over every operation the wrapped files and processes
// pass through check(), in the order the program asks for them.
class Faults {
 public:
  // Fails the k-th operation counted from now (1-based), whatever its kind.
  void failAt(long k) { failAt_ = operations_ + k; }
  // Fails the n-th operation of this kind counted from now (1-based).
  void failOn(Op op, int nth = 1, int err = EIO) { faults_[op] = {counts_[op] + nth, err}; }
  // Called before every operation; a hook may change the disk (to race the program).
  std::function<void(Op, const std::string&)> beforeOperation;
  long operations() const { return operations_; }
  int count(Op op) const {
    auto it = counts_.find(op);
    return it == counts_.end() ? 0 : it->second;
  }
  // Counts the operation and throws the injected failure if one is due.
  void check(Op op, const std::string& path);

 private:
  struct Fault {
    int nth;
    int err;
  };
  long operations_ = 0;
  long failAt_ = -1;
  std::map<Op, int> counts_;
  std::map<Op, Fault> faults_;
};

}  // namespace kelvane::testing
