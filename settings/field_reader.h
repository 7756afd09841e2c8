#pragma once

#include <string>
#include <string_view>

namespace kelvane {

// Reads delimited text as a stream of fields, the way the settings file and the old VFS
// table are read: a field ends at a comma or at the end of a line (CR LF, LF or CR); double
// quotes are never part of a value and text between a pair of them is taken as it is,
// commas and line breaks included; blanks and tabs around the unquoted part of a field are
// dropped; an empty line is one empty field.
class FieldReader {
 public:
  explicit FieldReader(std::string_view text) : text_(text) {}

  bool atEnd() const { return at_ >= text_.size(); }
  // The next field. Throws kelvane::Failure (input past end of file) when none is left;
  // name is the file named in that failure.
  std::string next(const std::string& name);
  // The 1-based line the next field starts on; at the end, the line after the last one.
  size_t line() const;

 private:
  std::string_view text_;
  size_t at_ = 0;
};

}  // namespace kelvane
