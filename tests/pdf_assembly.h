// A PDF file made of numbered objects, for tests that need a document of a particular
// shape: object 1 is the catalog, and the cross-reference table is computed.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace pdf_test {

// The file of the objects, numbered from 1, with its cross-reference table and trailer.
inline std::string AssemblePdf(const std::vector<std::string>& objects) {
  std::string pdf = "%PDF-1.4\n";
  std::vector<std::size_t> offsets;
  for (std::size_t index = 0; index < objects.size(); ++index) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(index + 1) + " 0 obj\n" + objects[index] + "\nendobj\n";
  }
  const std::size_t table = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (const std::size_t offset : offsets) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010zu 00000 n \n", offset);
    pdf += entry;
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(table) + "\n%%EOF\n";
  return pdf;
}

}  // namespace pdf_test
