// Small helpers that several core test files share.
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "statement.h"

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
    const auto byte = static_cast<unsigned char>(utf8[i]);
    if (byte < 0x80) {
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    char32_t c;
    if (byte >= 0xE0) {
      c = ((byte & 0x0F) << 12) | ((static_cast<unsigned char>(utf8[i + 1]) & 0x3F) << 6) |
          (static_cast<unsigned char>(utf8[i + 2]) & 0x3F);
      i += 3;
    } else {
      c = ((byte & 0x1F) << 6) | (static_cast<unsigned char>(utf8[i + 1]) & 0x3F);
      i += 2;
    }
    if (c == 0xA0 || c == 0xAB || c == 0xBB) {
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

}  // namespace corvina::test_support
