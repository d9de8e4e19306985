// The run-length encoder of drawn pages: every record boundary decodes back to the
// bytes it was given, long runs take the fewest records, and a repeated row's copied
// encoding is that row's.
#include <gtest/gtest.h>

#include <cstddef>
#include <string>
#include <vector>

#include "pdf_images.h"
#include "platform/posix/gdi/run_length.h"

namespace {

using quillmesh::platform::gdi::AppendRunLength;
using quillmesh::platform::gdi::RowEncoder;
using quillmesh::platform::gdi::RunLengthBound;

// The bytes encoded (with the end-of-data record), checked against the bound.
std::string Encode(const std::string& bytes) {
  std::vector<unsigned char> out(RunLengthBound(bytes.size()) + 1);
  unsigned char* end = AppendRunLength(reinterpret_cast<const unsigned char*>(bytes.data()),
                                       bytes.size(), out.data());
  EXPECT_LE(static_cast<std::size_t>(end - out.data()), RunLengthBound(bytes.size()));
  *end++ = 128;
  return std::string(out.data(), end);
}

// count bytes that alternate between two values: no two neighbours are equal.
std::string Alternating(std::size_t count) {
  std::string bytes;
  for (std::size_t at = 0; at < count; ++at) bytes += at % 2 == 0 ? 'p' : 'q';
  return bytes;
}

TEST(RunLengthTest, RunsAndLiteralsAtTheRecordLimitRoundTrip) {
  struct Case {
    std::string name;
    std::string bytes;
  };
  std::vector<Case> cases = {{"one byte", "x"}, {"two equal", "xx"}, {"two different", "xy"}};
  for (const std::size_t run : {2u, 7u, 8u, 9u, 31u, 33u, 127u, 128u, 129u, 130u, 256u, 257u}) {
    const std::string body(run, 'r');
    cases.push_back({"run of " + std::to_string(run), body});
    cases.push_back({"run of " + std::to_string(run) + " between others", "a" + body + "b"});
    cases.push_back({"run of " + std::to_string(run) + " before a literal", body + "abcab"});
  }
  for (const std::size_t literal : {127u, 128u, 129u, 256u, 257u}) {
    cases.push_back({"literal of " + std::to_string(literal), Alternating(literal)});
    cases.push_back({"literal of " + std::to_string(literal) + " before a run",
                     Alternating(literal) + std::string(5, 'z')});
  }
  // Run ends are found 4096 bytes at a time: runs and literals across those edges.
  std::string wide(9000, 'w');
  for (std::size_t at = 4000; at < 4200; at += 3) wide[at] = 'x';
  wide.replace(8180, 20, Alternating(20));
  cases.push_back({"a row past two chunk edges", wide});
  cases.push_back({"a run over a chunk edge", std::string(4095, 'a') + std::string(3, 'b')});
  cases.push_back({"a lone byte at a chunk edge", std::string(4095, 'a') + "b" + std::string(9, 'a')});
  for (const Case& test : cases) {
    EXPECT_EQ(pdf_images_detail::RunLengthDecode(Encode(test.bytes)), test.bytes) << test.name;
  }
}

TEST(RunLengthTest, ARunTakesOneRecordPer128BytesAndALoneLeftoverByteALiteral) {
  // record bytes: a run is 2; a literal of n is 1 + n; the end-of-data record is 1
  EXPECT_EQ(Encode(std::string(128, 'r')).size(), 2u + 1);
  EXPECT_EQ(Encode(std::string(129, 'r')).size(), 2u + 2 + 1);  // 128, then 'r' alone
  EXPECT_EQ(Encode(std::string(130, 'r')).size(), 2u + 2 + 1);  // 128, then 2
  EXPECT_EQ(Encode(std::string(256, 'r')).size(), 2u + 2 + 1);
  EXPECT_EQ(Encode(std::string(4793, 'r')).size(), 38u * 2 + 1);  // a blank 580 dpi A4 row
  EXPECT_EQ(Encode(Alternating(128)).size(), 129u + 1);
  EXPECT_EQ(Encode(Alternating(129)).size(), 129u + 2 + 1);
}

// Rows through the row encoder, decoded as one stream and cut back into rows.
std::vector<std::string> EncodeRows(const std::vector<std::string>& rows) {
  const std::size_t rowBytes = rows.front().size();
  std::vector<unsigned char> out(RunLengthBound(rowBytes) * rows.size() + 1);
  RowEncoder encoder(rowBytes, out.data());
  for (const std::string& row : rows) {
    encoder.Append(reinterpret_cast<const unsigned char*>(row.data()));
  }
  unsigned char* end = encoder.end();
  *end++ = 128;
  const std::string decoded = pdf_images_detail::RunLengthDecode(std::string(out.data(), end));
  std::vector<std::string> back;
  for (std::size_t at = 0; at < decoded.size(); at += rowBytes) {
    back.push_back(decoded.substr(at, rowBytes));
  }
  return back;
}

TEST(RunLengthTest, RepeatedRowsCopyTheEncodingOfTheRowAbove) {
  const std::string text = "aaab" + Alternating(140) + std::string(300, 'w') + "cd";
  const std::string blank(text.size(), 'w');
  std::string almost = text;  // the row above but for its last byte
  almost.back() = 'e';
  const std::vector<std::string> rows = {text, text, blank, blank, blank, text, almost, almost};
  EXPECT_EQ(EncodeRows(rows), rows);
  EXPECT_EQ(EncodeRows({"x", "x", "y", "x"}), (std::vector<std::string>{"x", "x", "y", "x"}));

  // A copy is exactly as long as the row it repeats: the stream of a row and its copy
  // is the row's encoding twice.
  std::vector<unsigned char> out(RunLengthBound(text.size()) * 2);
  RowEncoder encoder(text.size(), out.data());
  const auto* row = reinterpret_cast<const unsigned char*>(text.data());
  encoder.Append(row);
  const auto once = static_cast<std::size_t>(encoder.end() - out.data());
  encoder.Append(row);
  ASSERT_EQ(static_cast<std::size_t>(encoder.end() - out.data()), 2 * once);
  EXPECT_EQ(std::string(out.data(), out.data() + once),
            std::string(out.data() + once, out.data() + 2 * once));
}

}  // namespace
