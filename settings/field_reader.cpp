#include "settings/field_reader.h"

#include "base/failure.h"

namespace kelvane {

std::string FieldReader::next(const std::string& name) {
  if (atEnd())
    throw Failure(kErrInputPastEnd, "Input past end of file \"" + name + "\"", "read field");
  std::string field;
  size_t keep = 0;  // length of the field up to its last quoted or non-blank character
  bool quoted = false;
  while (at_ < text_.size()) {
    char c = text_[at_];
    if (quoted) {
      ++at_;
      if (c == '"') {
        quoted = false;
      } else {
        field += c;
        keep = field.size();
      }
      continue;
    }
    if (c == ',') {
      ++at_;
      break;
    }
    if (c == '\r' || c == '\n') {
      ++at_;
      if (c == '\r' && at_ < text_.size() && text_[at_] == '\n') ++at_;
      break;
    }
    ++at_;
    if (c == '"') {
      quoted = true;
      continue;
    }
    if ((c == ' ' || c == '\t') && keep == 0 && field.empty()) continue;
    field += c;
    if (c != ' ' && c != '\t') keep = field.size();
  }
  field.resize(keep);
  return field;
}

size_t FieldReader::line() const {
  size_t line = 1;
  for (size_t i = 0; i < at_; ++i)
    if (text_[i] == '\n' || (text_[i] == '\r' && (i + 1 >= text_.size() || text_[i + 1] != '\n')))
      ++line;
  char last = text_.empty() ? '\n' : text_.back();
  if (atEnd() && last != '\n' && last != '\r') ++line;  // a last line without its break
  return line;
}

}  // namespace kelvane
