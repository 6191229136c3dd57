// Document sections written back in the exchange format, for a statement's documents as they
// are: the text a writer in any language would produce, made without a string per value.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "line_form.h"
#include "statement.h"

namespace corvina {

// The most bytes write_document_sections_into writes for these documents with this newline.
size_t document_sections_bound(std::span<const Document* const> documents,
                               std::string_view newline);

// Each document as "СекцияДокумент=<kind>", its present fields as "key=value" in the order of
// kDocumentFields (dates day.month.year, amounts in their canonical text), its extra keys as
// "key=value" in their order, and "КонецДокумента", every line followed by `newline`, in `form`'s encoding, written at `out`
// (room for document_sections_bound bytes). Returns the end of what was written.
//
// nullptr when some text cannot be written so that the parser reads it back the same: it holds
// a line feed, it ends in a carriage return and `newline` is a bare line feed, or (for
// Windows-1251) it holds a character that encoding lacks; or an extra key is empty or holds
// "=" or a line break. The caller then says which.
//
// With options.threads above 1 and sections of options.threshold bytes or more, pieces of the
// documents are written on that many threads at once (the calling one among them), giving the
// same bytes.
struct SectionWriting {
  unsigned threads = 1;
  size_t threshold = size_t{8} << 20;
};
[[nodiscard]] char* write_document_sections_into(std::span<const Document* const> documents,
                                                 LineForm form, std::string_view newline,
                                                 char* out, const SectionWriting& options);

// The room of the documents as the writing with `options` needs it: the most bytes in all
// (`total`, as document_sections_bound gives), and each document's when they are to be written
// on several threads. Measured on those threads too when the documents are many, so that a
// caller that sizes its output first measures once.
struct SectionRoom {
  std::vector<size_t> each;
  size_t total = 0;
};
[[nodiscard]] SectionRoom document_sections_room(std::span<const Document* const> documents,
                                                 std::string_view newline,
                                                 const SectionWriting& options);
// The same writing with the room already measured (out has room.total bytes).
[[nodiscard]] char* write_document_sections_into(std::span<const Document* const> documents,
                                                 LineForm form, std::string_view newline,
                                                 char* out, const SectionWriting& options,
                                                 const SectionRoom& room);

// An account to write: the number its sections carry (the caller's, which a statement keeps as
// the account's key) and the account with its intervals.
struct AccountToWrite {
  std::string_view number;
  const Account* account;
};

// The most bytes write_account_sections_into writes for these accounts with this newline.
size_t account_sections_bound(std::span<const AccountToWrite> accounts, std::string_view newline);

// Each interval of each account as a "СекцияРасчСчет" section: the period, "РасчСчет=<number>",
// the amounts, "КонецРасчСчет"; an account's intervals in the order that the reader files back
// as they are. At `out` (room for account_sections_bound bytes); returns the end, or nullptr
// when a number cannot be written so that it reads back the same (as for texts above).
[[nodiscard]] char* write_account_sections_into(std::span<const AccountToWrite> accounts,
                                                LineForm form, std::string_view newline,
                                                char* out);

// The same into a string of its own.
[[nodiscard]] std::optional<std::string> write_document_sections(
    std::span<const Document* const> documents, LineForm form, std::string_view newline);

}  // namespace corvina
