#include "cp1251_slices.h"

#include <algorithm>
#include <cstring>

#include "decode.h"

namespace corvina {
namespace {

// The end of a slice of at least `want` bytes from pos that ends after a line break (or at the
// end of the input).
size_t slice_end(std::string_view bytes, size_t pos, size_t want) {
  if (bytes.size() - pos <= want) return bytes.size();
  const size_t from = pos + want - 1;
  const void* lf = std::memchr(bytes.data() + from, '\n', bytes.size() - from);
  if (lf == nullptr) return bytes.size();
  return static_cast<size_t>(static_cast<const char*>(lf) - bytes.data()) + 1;
}

// Up to this slice size, room for the worst case (three bytes each) costs less than counting
// what the slice needs; a longer slice (a line longer than this) gets the exact room.
constexpr size_t kWorstCaseRoomUpTo = size_t{1} << 20;

}  // namespace

Cp1251Slices::Cp1251Slices(std::string_view bytes, size_t slice_bytes)
    : bytes_(bytes), slice_bytes_(std::max<size_t>(slice_bytes, 1)) {}

LineStatus Cp1251Slices::next_slice(Token& token) {
  for (;;) {
    if (pos_ == bytes_.size()) return LineStatus::End;
    if (!text_.empty() && !end_told_) {
      end_told_ = true;
      return LineStatus::TextEnds;
    }
    decode_next_slice();
    const LineStatus status = reader_.next(token);
    if (status != LineStatus::End) return status;
  }
}

void Cp1251Slices::decode_next_slice() {
  const size_t end = slice_end(bytes_, pos_, slice_bytes_);
  const std::string_view slice = bytes_.substr(pos_, end - pos_);
  const size_t room = slice.size() <= kWorstCaseRoomUpTo ? 3 * slice.size() + kCp1251StoreSlack
                                                         : cp1251_decoded_room(slice);
  if (room > capacity_) {
    // Nothing in the old buffer is needed any more: its views were copied at TextEnds.
    buffer_.reset();
    buffer_ = std::make_unique_for_overwrite<char[]>(room);
    capacity_ = room;
  }
  const char* const text_end = decode_cp1251_into(slice, buffer_.get());
  text_ = std::string_view(buffer_.get(), static_cast<size_t>(text_end - buffer_.get()));
  reader_ = TokenReader(text_, reader_.lines_read());
  pos_ = end;
  end_told_ = false;
}

}  // namespace corvina
