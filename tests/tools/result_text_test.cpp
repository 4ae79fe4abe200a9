// result_text_test.cpp - QNA_ResultText: every code of the public header has
// a text, the text is one line with both numbers, and it is cut safely.
#include <gtest/gtest.h>

#include <cstring>
#include <regex>
#include <string>
#include <vector>

#include "qnapi_text.h"
#include "support/test_support.h"

namespace {

std::string Text(std::uint32_t result, std::int32_t detail) {
  const std::uint32_t n = QNA_ResultText(result, detail, nullptr, 0);
  std::string text(n + 1, '\0');
  EXPECT_EQ(QNA_ResultText(result, detail, text.data(), n + 1), n);
  text.resize(n);
  return text;
}

// The text without its "(result R, detail D)" ending.
std::string Words(std::uint32_t result, std::int32_t detail) {
  const std::string text = Text(result, detail);
  return text.substr(0, text.rfind(" (result "));
}

bool NamesResult(std::uint32_t result) {
  return Words(result, 0).find("server's own result") == std::string::npos;
}

// A detail has a text when it adds to what the result alone says.
bool NamesDetail(std::uint32_t result, std::int32_t detail) {
  return Words(result, detail) != Words(result, 0);
}

struct Define {
  std::string name;
  long long value;
};

// The #define'd codes of qnapi.h: QNA_E_* are results; QNA_TAG_*,
// QNA_WAIT_* and QNA_EVQ_RECORD_* are detail values.
std::vector<Define> Defines(const std::string& prefix) {
  const std::string text = qt::ReadText(std::string(QNAPI_SOURCE_DIR) + "/include/qnapi.h");
  EXPECT_FALSE(text.empty());
  const std::regex line("#define[ \\t]+(" + prefix + "[A-Z0-9_]*)[ \\t]+\\(?(-?[0-9]+)u?\\)?");
  std::vector<Define> found;
  for (std::sregex_iterator it(text.begin(), text.end(), line), end; it != end; ++it)
    found.push_back({(*it)[1], std::stoll((*it)[2])});
  return found;
}

TEST(ResultText, EveryCodeHasAText) {
  const auto results = Defines("QNA_E_");
  ASSERT_GE(results.size(), 30u);  // the header's result codes were found
  for (const auto& d : results)
    EXPECT_TRUE(NamesResult(static_cast<std::uint32_t>(d.value))) << d.name;
  for (std::uint32_t r : {8u, 807u}) EXPECT_TRUE(NamesResult(r)) << r;
  // Header details: wait outcomes come with result 2, the others with 102.
  std::size_t details = 0;
  for (const char* prefix : {"QNA_TAG_", "QNA_WAIT_", "QNA_EVQ_RECORD_"})
    for (const auto& d : Defines(prefix)) {
      const std::uint32_t result = d.name.starts_with("QNA_WAIT_") ? QNA_E_MUTEX : QNA_E_READ;
      EXPECT_TRUE(NamesDetail(result, static_cast<std::int32_t>(d.value))) << d.name;
      ++details;
    }
  EXPECT_GE(details, 15u);
  // The system's error numbers that reach QNA_InternalErr with a failed open
  // or lock.
  for (std::int32_t error : {2, 3, 5, 6, 8, 53, 87, 109, 121, 123, 183, 206, 231, 232, 233})
    EXPECT_TRUE(NamesDetail(QNA_E_EVQ_READ, error)) << "system error " << error;
}

TEST(ResultText, ReadsAsOneLineWithBothNumbers) {
  const std::string unknown = Text(4000000000u, -2147483647 - 1);
  EXPECT_NE(unknown.find("server's own result"), std::string::npos);
  EXPECT_TRUE(unknown.ends_with("(result 4000000000, detail -2147483648)")) << unknown;
  for (std::uint32_t r : {0u, 2u, 51u, 102u, 204u, 453u, 9999u, 77u})
    for (std::int32_t d : {0, -1, 640, 1107, 6012, 10208, 99999}) {
      const std::string text = Text(r, d);
      EXPECT_EQ(text.find('\n'), std::string::npos);
      const std::string numbers = std::to_string(r) + ", detail " + std::to_string(d) + ")";
      EXPECT_TRUE(text.ends_with(" (result " + numbers)) << text;
    }
}

TEST(ResultText, CutsSafelyAndCountsTheWholeText) {
  const std::string full = Text(102, 1107);
  const auto n = static_cast<std::uint32_t>(full.size());
  for (std::uint32_t size : {0u, 1u, 2u, 10u, n - 1, n, n + 1, n + 50}) {
    std::vector<char> buffer(size + 8, '#');
    EXPECT_EQ(QNA_ResultText(102, 1107, buffer.data(), size), n) << size;
    if (size > 0) {
      const std::size_t kept = std::min<std::size_t>(size - 1, n);
      EXPECT_EQ(std::string(buffer.data(), kept), full.substr(0, kept));
      EXPECT_EQ(buffer[kept], '\0');
    }
    // Nothing is written past the size given.
    for (std::size_t i = size; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], '#') << size;
  }
  EXPECT_EQ(QNA_ResultText(102, 1107, nullptr, 0), n);
}

}  // namespace
