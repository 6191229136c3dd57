#include "tokenizer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <variant>

#include "decode.h"

namespace corvina {
namespace {

const char* kind_name(TokenKind kind) {
  switch (kind) {
    case TokenKind::Marker:
      return "Marker";
    case TokenKind::AccountStart:
      return "AccountStart";
    case TokenKind::AccountEnd:
      return "AccountEnd";
    case TokenKind::DocumentStart:
      return "DocumentStart";
    case TokenKind::DocumentEnd:
      return "DocumentEnd";
    case TokenKind::EndOfFile:
      return "EndOfFile";
    case TokenKind::Attribute:
      return "Attribute";
  }
  return "?";
}

// One line per token, "3 Attribute [key]=[value]", brackets showing exactly where texts end;
// or the error as "UnrecognizedLine 3 [text]".
std::string render(const Result<std::vector<Token>, ErrorRecord>& result) {
  std::string out;
  if (!result) {
    const auto* line = std::get_if<UnrecognizedLine>(&result.error());
    if (line == nullptr) return "unexpected error kind";
    return "UnrecognizedLine " + std::to_string(line->lineno) + " [" + line->line + "]";
  }
  for (const Token& token : result.value()) {
    if (!out.empty()) out += "\n";
    out += std::to_string(token.line) + " " + kind_name(token.kind);
    if (token.kind == TokenKind::Attribute) {
      out += " [" + std::string(token.key) + "]=[" + std::string(token.value) + "]";
    } else if (token.kind == TokenKind::DocumentStart) {
      out += " [" + std::string(token.value) + "]";
    }
    if (token.kind != TokenKind::Attribute && !token.key.empty()) out += " (key set)";
    if (token.kind != TokenKind::Attribute && token.kind != TokenKind::DocumentStart &&
        !token.value.empty()) {
      out += " (value set)";
    }
  }
  return out;
}

struct TokenCase {
  const char* text;
  const char* expected;
};

const TokenCase kSplitCases[] = {
    {"", ""},
    {"\n", ""},
    {"1CClientBankExchange", "1 Marker"},
    {"1CClientBankExchange\r\nA=1\r\n", "1 Marker\n2 Attribute [A]=[1]"},
    {"A=1\nB=2", "1 Attribute [A]=[1]\n2 Attribute [B]=[2]"},
    // Only a CR directly before LF belongs to the break.
    {"A=1\rB=2\n", "1 Attribute [A]=[1\rB=2]"},
    {"A=1\r", "1 Attribute [A]=[1\r]"},
    {"A=1\r\r\n", "1 Attribute [A]=[1\r]"},
    {"A=\r\n", "1 Attribute [A]=[]"},
    // Blank lines count but yield nothing: empty, CR only, tabs and spaces, U+3000, U+00A0.
    {"A=1\n\r\n \t \n\u3000\n\u00A0\u2028\nB=2", "1 Attribute [A]=[1]\n6 Attribute [B]=[2]"},
    {"\n\nA=1", "3 Attribute [A]=[1]"},
};

const TokenCase kClassifyCases[] = {
    {"1CClientBankExchange\nСекцияРасчСчет\nКонецРасчСчет\nКонецДокумента\nКонецФайла",
     "1 Marker\n2 AccountStart\n3 AccountEnd\n4 DocumentEnd\n5 EndOfFile"},
    {"Сумма=1=2", "1 Attribute [Сумма]=[1=2]"},
    {"=x", "1 Attribute []=[x]"},
    {"=", "1 Attribute []=[]"},
    {" A = 1 ", "1 Attribute [ A ]=[ 1 ]"},
    {"СекцияДокумент=Платежное поручение", "1 DocumentStart [Платежное поручение]"},
    {"СекцияДокумент=", "1 DocumentStart []"},
    {"СекцияДокумент=a=b", "1 DocumentStart [a=b]"},
    {"СекцияДокумент =x", "1 Attribute [СекцияДокумент ]=[x]"},
    {"СекцияРасчСчет=x", "1 Attribute [СекцияРасчСчет]=[x]"},
    {"КонецФайла=", "1 Attribute [КонецФайла]=[]"},
    {"КонецФайла ", "UnrecognizedLine 1 [КонецФайла ]"},
    {" КонецФайла", "UnrecognizedLine 1 [ КонецФайла]"},
    {"\tКонецФайла", "UnrecognizedLine 1 [\tКонецФайла]"},
    {"СекцияДокумент", "UnrecognizedLine 1 [СекцияДокумент]"},
    {"1cclientbankexchange", "UnrecognizedLine 1 [1cclientbankexchange]"},
    // Same length as a keyword, one byte different.
    {"КонецФайлы", "UnrecognizedLine 1 [КонецФайлы]"},
    {"СекцияРасчСчёт", "UnrecognizedLine 1 [СекцияРасчСчёт]"},
    {"КонецФайла\r\r\n", "UnrecognizedLine 1 [КонецФайла\r]"},
    {"\u3000x", "UnrecognizedLine 1 [\u3000x]"},
    // Reading goes on after "КонецФайла" and stops at the first bad line.
    {"A=1\nКонецФайла\n\nмусор\nещё", "UnrecognizedLine 4 [мусор]"},
};

void expect_tokens(const TokenCase* begin, const TokenCase* end) {
  for (const TokenCase* c = begin; c != end; ++c) {
    EXPECT_EQ(render(read_tokens(c->text)), c->expected) << "text: [" << c->text << "]";
  }
}

TEST(tokenizer_test, line_splitting) {
  expect_tokens(std::begin(kSplitCases), std::end(kSplitCases));
}

TEST(tokenizer_test, classification) {
  expect_tokens(std::begin(kClassifyCases), std::end(kClassifyCases));
}

TEST(tokenizer_test, tokens_view_the_text) {
  const std::string text = "A=1\n";
  const auto tokens = read_tokens(text);
  ASSERT_TRUE(tokens);
  EXPECT_EQ(tokens.value()[0].value.data(), text.data() + 2);
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(tokenizer_test, samples) {
#ifdef CORVINA_SAMPLES_DIR
  const std::filesystem::path dir = CORVINA_SAMPLES_DIR;
#else
  const std::filesystem::path dir;
#endif
  if (dir.empty() || !std::filesystem::is_directory(dir)) GTEST_SKIP() << "no sample statements";
  const struct {
    const char* file;
    size_t documents;
    size_t accounts;
    LineNumber last_line;  // of the final "КонецФайла"
  } samples[] = {
      {"sample-01.txt", 13, 1, 423}, {"sample-02.txt", 13, 1, 423}, {"sample-03.txt", 3, 1, 218},
      {"sample-05.txt", 6, 2, 437},  {"sample-06.txt", 2, 2, 163},  {"sample-07.txt", 6, 0, 258},
      {"sample-08.txt", 14, 1, 476}, {"sample-09.txt", 2, 1, 102},  {"sample-10.txt", 4, 1, 140},
  };
  for (const auto& sample : samples) {
    SCOPED_TRACE(sample.file);
    const std::string bytes = read_file(dir / sample.file);
    const auto decoded = decode_input(bytes);
    ASSERT_TRUE(decoded);
    const auto tokens = read_tokens(decoded.value().text());
    ASSERT_TRUE(tokens) << render(tokens);
    size_t documents = 0;
    size_t accounts = 0;
    for (const Token& token : tokens.value()) {
      documents += token.kind == TokenKind::DocumentStart;
      accounts += token.kind == TokenKind::AccountStart;
    }
    EXPECT_EQ(documents, sample.documents);
    EXPECT_EQ(accounts, sample.accounts);
    EXPECT_EQ(tokens.value().front().kind, TokenKind::Marker);
    EXPECT_EQ(tokens.value().back().kind, TokenKind::EndOfFile);
    EXPECT_EQ(tokens.value().back().line, sample.last_line);
  }

  // A document section opened by a bare "СекцияДокумент", in a file made by a generator.
  const std::string bytes = read_file(dir / "sample-04.txt");
  const auto decoded = decode_input(bytes);
  ASSERT_TRUE(decoded);
  EXPECT_EQ(render(read_tokens(decoded.value().text())), "UnrecognizedLine 10 [СекцияДокумент]");
}

}  // namespace
}  // namespace corvina
