// Small helpers that several core test files share.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "parse_statement.h"
#include "statement.h"
#include "utf8.h"

namespace corvina::test_support {

// A payment document section with every required key, CR LF line breaks.
inline constexpr char kPaymentDocument[] =
    "СекцияДокумент=Платежное поручение\r\n"
    "Номер=17\r\n"
    "Дата=05.03.2024\r\n"
    "Сумма=100.50\r\n"
    "ПлательщикСчет=40702810000000000001\r\n"
    "ПлательщикИНН=7701\r\n"
    "ПлательщикБИК=044525000\r\n"
    "ПлательщикБанк1=Банк\r\n"
    "ПолучательСчет=40702810000000000002\r\n"
    "ПолучательИНН=7702\r\n"
    "ПолучательБИК=044525001\r\n"
    "ПолучательБанк1=Банк получателя\r\n"
    "НазначениеПлатежа=Оплата\r\n"
    "КонецДокумента\r\n";

// The payer's and payee's lines of kPaymentDocument, for a section that orders its other keys
// its own way.
inline const std::string_view kPaymentParties = [] {
  const std::string_view document = kPaymentDocument;
  const size_t start = document.find("ПлательщикСчет=");
  return document.substr(start, document.find("НазначениеПлатежа=") - start);
}();

// kPaymentDocument with `lines` (each ending in its line break) added before its end line.
inline std::string payment_document_with(std::string_view lines) {
  std::string section = kPaymentDocument;
  section.insert(section.rfind("КонецДокумента"), lines);
  return section;
}

// A whole statement of the given sections, with no header.
inline std::string statement_of(std::string_view sections) {
  return "1CClientBankExchange\r\n" + std::string(sections) + "КонецФайла\r\n";
}

// Cyrillic (with Ё and ё), ASCII and a few marks (no-break space, « », —, №): enough to write
// hand-made statements in Windows-1251 from UTF-8 literals.
inline std::string to_cp1251(std::string_view utf8) {
  std::string out;
  for (size_t i = 0; i < utf8.size();) {
    const auto [c, length] = read_code_point(utf8, i);
    i += length;
    if (c < 0x80 || c == 0xA0 || c == 0xAB || c == 0xBB) {
      out += static_cast<char>(c);
    } else if (c == 0x2014) {
      out += static_cast<char>(0x97);
    } else if (c == 0x2116) {
      out += static_cast<char>(0xB9);
    } else if (c == 0x401) {
      out += static_cast<char>(0xA8);
    } else if (c == 0x451) {
      out += static_cast<char>(0xB8);
    } else {
      out += static_cast<char>(c - 0x410 + 0xC0);
    }
  }
  return out;
}

// The line an error names; 0 for the kinds that name none.
inline LineNumber line_of(const ErrorRecord& error) {
  return std::visit(
      [](const auto& e) -> LineNumber {
        if constexpr (requires { e.lineno; }) {
          return e.lineno;
        } else {
          return 0;
        }
      },
      error);
}

// The lines of a statement of the shape banks write, drawn from `seed`, without line breaks:
// a header, then account and document sections, then "КонецФайла". Accounts come from a small
// pool of numbers, dated in and out of order and sometimes repeated (at another scale, so that
// only the value is equal); some documents lack a field or carry a bad amount and become
// warnings; blank lines fall between and inside sections; some documents carry keys that name
// no field, one of them repeated. Only letters that to_cp1251 writes.
inline std::vector<std::string> generated_statement_lines(uint32_t seed, size_t sections) {
  std::mt19937 random(seed);
  const auto pick = [&random](uint32_t count) { return static_cast<uint32_t>(random() % count); };
  std::mt19937 extra_random(seed ^ 0x9E3779B9u);
  std::vector<std::string> lines = {"1CClientBankExchange", "ВерсияФормата=1.03",
                                    "Кодировка=Windows", "ДатаНачала=01.03.2024"};
  const char* const amounts[] = {"100", "100.00", "0", "1234.5", "7.07", "99999999.99"};
  for (size_t section = 0; section < sections; ++section) {
    if (pick(6) == 0) lines.emplace_back(pick(2) ? "" : " \t");
    const std::string day = std::to_string(10 + pick(4));
    if (pick(4) == 0) {
      lines.emplace_back("СекцияРасчСчет");
      lines.push_back("ДатаНачала=" + day + ".03.2024");
      if (pick(2)) lines.push_back("ДатаКонца=" + day + ".03.2024");
      lines.push_back("РасчСчет=4070281000000000000" + std::to_string(pick(3)));
      lines.push_back(std::string("НачальныйОстаток=") + amounts[pick(3)]);
      if (pick(2)) lines.push_back(std::string("КонечныйОстаток=") + amounts[pick(6)]);
      lines.emplace_back("КонецРасчСчет");
      continue;
    }
    lines.push_back(pick(2) ? "СекцияДокумент=Платежное поручение" : "СекцияДокумент=Ордер");
    lines.push_back("Номер=" + std::to_string(section));
    lines.push_back("Дата=" + day + ".03.2024");
    const uint32_t flaw = pick(10);
    lines.push_back(std::string("Сумма=") + (flaw == 0 ? "1,5" : amounts[pick(6)]));
    if (pick(3) == 0) lines.emplace_back("");
    lines.emplace_back("ПлательщикСчет=40702810000000000001");
    lines.emplace_back("ПлательщикИНН=7701");
    lines.emplace_back("ПлательщикБИК=044525000");
    lines.emplace_back("ПлательщикБанк1=Банк");
    lines.emplace_back("ПолучательСчет=40702810000000000002");
    if (flaw != 1) lines.emplace_back("ПолучательИНН=7702");
    lines.emplace_back("ПолучательБИК=044525001");
    lines.emplace_back("ПолучательБанк1=Банк получателя");
    lines.push_back("НазначениеПлатежа=Оплата № " + std::to_string(pick(1000)) + " = по счету");
    // Keys that name no field, drawn apart so that the sections above stay as they were.
    if (extra_random() % 2) lines.emplace_back("ПлательщикБанк2=г. Москва");
    if (extra_random() % 4 == 0) {
      lines.emplace_back("ПоказательКБК=18210102010011000110");
      lines.emplace_back("Поле банка=" + std::to_string(extra_random() % 100));
      if (extra_random() % 2) lines.emplace_back("ПоказательКБК=0");
    }
    lines.emplace_back("КонецДокумента");
  }
  lines.emplace_back("КонецФайла");
  return lines;
}

// Options that share out work on `threads` threads whatever its size (1: the calling thread
// alone), for the parse and for the tables built from its records.
inline ParseOptions on_threads(unsigned threads) {
  ParseOptions options;
  options.threads = threads;
  options.chunk_threshold = 1;
  return options;
}

// Pointers to the records of `records` in order: the rows of a table.
template <typename Record, typename Allocator>
std::vector<const Record*> pointers_to(const std::vector<Record, Allocator>& records) {
  std::vector<const Record*> out;
  for (const Record& record : records) out.push_back(&record);
  return out;
}

// Lines joined into a statement, each line break LF or CR LF as drawn from `seed`.
inline std::string joined_statement(const std::vector<std::string>& lines, uint32_t seed) {
  std::mt19937 random(seed);
  std::string out;
  for (const std::string& line : lines) out += line + (random() % 2 ? "\r\n" : "\n");
  return out;
}

}  // namespace corvina::test_support
