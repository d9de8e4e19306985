// Reads back what the Linux GDI stand-in writes into a PDF: every image XObject
// decoded to 0xRRGGBB pixels (inflated with zlib, then run-length decoded), and which
// image each page draws. Written for this project's own PDFs, not for PDF in general.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <map>
#include <regex>
#include <string>
#include <vector>

struct PdfImage {
  int width = 0;
  int height = 0;
  std::vector<std::uint32_t> pixels;  // 0xRRGGBB, rows top first
};

struct PdfImages {
  std::map<int, PdfImage> images;  // by object number
  std::vector<int> pageImages;     // the image object each page draws, in page order
};

namespace pdf_images_detail {

// The whole zlib stream inflated; empty when it is damaged.
inline std::string Inflate(const std::string& data) {
  z_stream stream{};
  if (inflateInit(&stream) != Z_OK) return {};
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  stream.avail_in = static_cast<uInt>(data.size());
  std::string out;
  char chunk[65536];
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = reinterpret_cast<Bytef*>(chunk);
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    out.append(chunk, sizeof chunk - stream.avail_out);
  }
  inflateEnd(&stream);
  return status == Z_STREAM_END ? out : std::string();
}

// PDF run-length decoding up to the end-of-data record.
inline std::string RunLengthDecode(const std::string& data) {
  std::string out;
  for (std::size_t at = 0; at < data.size();) {
    const auto length = static_cast<unsigned char>(data[at++]);
    if (length == 128) break;
    if (length < 128) {
      out.append(data, at, length + 1u);
      at += length + 1u;
    } else if (at < data.size()) {
      out.append(257u - length, data[at++]);
    }
  }
  return out;
}

inline int Integer(const std::string& text, const std::string& pattern) {
  std::smatch match;
  return std::regex_search(text, match, std::regex(pattern)) ? std::stoi(match[1]) : -1;
}

}  // namespace pdf_images_detail

inline PdfImages ReadPdfImages(const std::string& pdf) {
  using namespace pdf_images_detail;
  PdfImages result;
  const std::regex imageStart(R"((\d+) 0 obj\n<< /Type /XObject /Subtype /Image )");
  for (auto match = std::sregex_iterator(pdf.begin(), pdf.end(), imageStart);
       match != std::sregex_iterator(); ++match) {
    const std::size_t dictionaryStart = static_cast<std::size_t>(match->position());
    const std::size_t dataStart = pdf.find(">>\nstream\n", dictionaryStart) + 10;
    const std::string dictionary = pdf.substr(dictionaryStart, dataStart - dictionaryStart);
    PdfImage image;
    image.width = Integer(dictionary, R"(/Width (\d+))");
    image.height = Integer(dictionary, R"(/Height (\d+))");
    const int lengthObject = Integer(dictionary, R"(/Length (\d+) 0 R)");
    const int length = Integer(pdf, "\n" + std::to_string(lengthObject) + R"( 0 obj\n(\d+))");
    const std::string samples = RunLengthDecode(Inflate(pdf.substr(dataStart, length)));
    const std::size_t palette = dictionary.find("/Indexed /DeviceRGB 255 <");
    const std::size_t count = static_cast<std::size_t>(image.width) * image.height;
    for (std::size_t index = 0; index < count; ++index) {
      std::uint32_t colour = 0;
      if (palette != std::string::npos && index < samples.size()) {
        const auto entry = static_cast<unsigned char>(samples[index]);
        colour = static_cast<std::uint32_t>(
            std::stoul(dictionary.substr(palette + 25 + entry * 6u, 6), nullptr, 16));
      } else if (palette == std::string::npos && index * 3 + 2 < samples.size()) {
        for (int channel = 0; channel < 3; ++channel) {
          colour = colour << 8 | static_cast<unsigned char>(samples[index * 3 + channel]);
        }
      }
      image.pixels.push_back(colour);
    }
    result.images[std::stoi((*match)[1])] = std::move(image);
  }
  const std::regex page(R"(/Type /Page /Parent 2 0 R [^\n]*/XObject << /Im(\d+) )");
  for (auto match = std::sregex_iterator(pdf.begin(), pdf.end(), page);
       match != std::sregex_iterator(); ++match) {
    result.pageImages.push_back(std::stoi((*match)[1]));
  }
  return result;
}

// An uncompressed 8-bit BMP file's pixels as 0xRRGGBB; empty for anything else.
inline PdfImage ReadBmp8(const std::string& bytes) {
  PdfImage image;
  const auto field = [&bytes](std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t index = 4; index-- > 0;) {
      value = value << 8 | static_cast<unsigned char>(bytes.at(offset + index));
    }
    return value;
  };
  if (bytes.size() < 54 || bytes.compare(0, 2, "BM") != 0 || (field(28) & 0xFFFF) != 8) return image;
  const std::uint32_t pixels = field(10);
  const std::uint32_t palette = 14 + field(14);
  image.width = static_cast<int>(field(18));
  image.height = static_cast<int>(field(22));
  const std::size_t stride = (static_cast<std::size_t>(image.width) + 3) / 4 * 4;
  for (int row = image.height - 1; row >= 0; --row) {  // stored bottom row first
    for (int column = 0; column < image.width; ++column) {
      const auto entry = static_cast<unsigned char>(bytes.at(pixels + row * stride + column));
      image.pixels.push_back(field(palette + entry * 4u) & 0xFFFFFF);
    }
  }
  return image;
}
