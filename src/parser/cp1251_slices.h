// Windows-1251 bytes as a line source, decoded a slice at a time into one reused buffer.
//
// A 100 MB statement then never has its 160 MB of UTF-8 in memory at once, and each slice is
// read while it is still in cache.
#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include "statement.h"
#include "tokenizer.h"

namespace corvina {

// Input bytes decoded at a time (a little more, to end at a line break).
inline constexpr size_t kCp1251SliceBytes = size_t{256} << 10;

// The lines of the bytes, numbered from 1 across slices. Before it decodes the next slice over
// the text of the last one it reports TextEnds, with text() still that last slice: views into it
// must be copied then. No line is ever split between slices. slice_bytes is a parameter only so
// that tests can make sections straddle slices.
class Cp1251Slices {
 public:
  explicit Cp1251Slices(std::string_view bytes, size_t slice_bytes = kCp1251SliceBytes);

  LineStatus next(Token& token) {
    // The slice's own lines are the common case and stay inline in the caller's loop.
    const LineStatus status = reader_.next(token);
    return status == LineStatus::End ? next_slice(token) : status;
  }
  ErrorRecord unrecognized() const { return reader_.unrecognized(); }

  std::string_view text() const { return text_; }
  size_t bytes_read() const { return pos_; }
  size_t bytes_total() const { return bytes_.size(); }

 private:
  LineStatus next_slice(Token& token);
  void decode_next_slice();

  std::string_view bytes_;
  size_t slice_bytes_;
  size_t pos_ = 0;  // the first byte not decoded yet
  std::unique_ptr<char[]> buffer_;
  size_t capacity_ = 0;
  std::string_view text_;  // the decoded slice in buffer_
  TokenReader reader_{std::string_view()};
  bool end_told_ = false;  // TextEnds reported for text_
};

}  // namespace corvina
