// The jobs as JSON: any bytes a peer chose come out as valid JSON that reads back as the
// text (each byte of invalid UTF-8 as U+FFFD), and a job's fields are all there.
#include <gtest/gtest.h>

#include <string>

#include "admin/jobs_json.h"

namespace {

TEST(JsonString, EscapesQuotesBackslashesAndEveryControlCharacter) {
  EXPECT_EQ(JsonString(""), "\"\"");
  EXPECT_EQ(JsonString("a\"b\\c/d"), "\"a\\\"b\\\\c/d\"");
  EXPECT_EQ(JsonString("\n\r\t"), "\"\\n\\r\\t\"");
  EXPECT_EQ(JsonString(std::string("\0\x01\x1f\x7f", 4)), "\"\\u0000\\u0001\\u001f\\u007f\"");
  EXPECT_EQ(JsonString(" ~"), "\" ~\"");
  EXPECT_EQ(JsonString("</script>&"), "\"\\u003c/script\\u003e\\u0026\"");
}

TEST(JsonString, ValidUtf8PassesAtTheEdgesOfEachLength) {
  for (const char* valid : {"\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xed\x9f\xbf", "\xee\x80\x80",
                            "\xef\xbf\xbf", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf",
                            "\xe2\x80\xa8"}) {
    EXPECT_EQ(JsonString(valid), std::string("\"") + valid + "\"");
  }
}

TEST(JsonString, EachByteOfInvalidUtf8BecomesTheReplacementCharacter) {
  const std::string replacement = "\\ufffd";
  const std::string four = replacement + replacement + replacement + replacement;
  const std::pair<std::string, std::string> cases[] = {
      {"\x80", replacement},                                 // a stray continuation byte
      {"\xc0\xaf", replacement + replacement},               // overlong 2-byte
      {"\xc1\xbf", replacement + replacement},               // overlong 2-byte
      {"\xe0\x9f\xbf", replacement + replacement + replacement},  // overlong 3-byte
      {"\xed\xa0\x80", replacement + replacement + replacement},  // a surrogate
      {"\xf0\x8f\xbf\xbf", four},  // overlong 4-byte
      {"\xf4\x90\x80\x80", four},  // past U+10FFFF
      {"\xf5\x80", replacement + replacement},
      {"\xff", replacement},
      {"\xe2\x82", replacement + replacement},               // cut short at the end
      {"\xe2\x82z", replacement + replacement + "z"},        // cut short before ASCII
  };
  for (const auto& [bytes, escaped] : cases) {
    EXPECT_EQ(JsonString(bytes), "\"" + escaped + "\"") << testing::PrintToString(bytes);
  }
}

TEST(JobJson, CarriesEveryFieldAndListsNewestFirst) {
  JobRecord job;
  job.id = 7;
  job.description.peer = "10.0.0.2";
  job.description.printerName = "Lab \"A\"";
  job.description.documentName = "report\x01.pdf";
  job.description.dataFormat = quillmesh::wire::kDataFormatXps;
  job.description.bytes = 123456789012ULL;
  job.state = JobState::kFailed;
  job.message = "page 3 could not be loaded";
  job.pagesTotal = 20;
  job.firstPageAtMillis = 1700000000123;
  job.changes = {{JobState::kReceiving, 1700000000000}, {JobState::kFailed, 1700000000500}};
  const std::string json = JobJson(job);
  for (const char* field :
       {"{\"id\":7,", "\"peer\":\"10.0.0.2\"", "\"printer\":\"Lab \\\"A\\\"\"",
        "\"document\":\"report\\u0001.pdf\"", "\"format\":\"xps\"", "\"bytes\":123456789012",
        "\"state\":\"failed\"", "\"message\":\"page 3 could not be loaded\"",
        "\"pagesTotal\":20", "\"firstPageAtMillis\":1700000000123",
        "\"changes\":[{\"state\":\"receiving\",\"atMillis\":1700000000000},"
        "{\"state\":\"failed\",\"atMillis\":1700000000500}]}"}) {
    EXPECT_NE(json.find(field), std::string::npos) << field << "\n" << json;
  }
  JobRecord later = job;
  later.id = 8;
  EXPECT_EQ(JobsJson({}), "[]");
  const std::string both = JobsJson({job, later});
  EXPECT_EQ(both.rfind("[{\"id\":8,", 0), 0u) << both;
  EXPECT_NE(both.find("},{\"id\":7,"), std::string::npos) << both;
}

}  // namespace
