#include "test_support.h"

#define POINTERHOLDER_TRANSITION 4
#include <png.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <qpdf/QPDF.hh>
#include <qpdf/QPDFPageDocumentHelper.hh>
#include <qpdf/QPDFPageObjectHelper.hh>
#include <qpdf/QUtil.hh>
#include <sstream>
#include <stdexcept>

namespace brannock::testing {

TempDir::TempDir() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/brannock-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp");
  path_ = pattern + "/";
}

TempDir::~TempDir() {
  // A test's small disks are mounted inside the folder; a mount point cannot be removed.
  std::ifstream mounts("/proc/self/mounts");
  std::vector<std::string> inside;
  for (std::string device, point, rest; mounts >> device >> point && std::getline(mounts, rest);)
    if (point.rfind(path_, 0) == 0) inside.push_back(point);
  for (auto point = inside.rbegin(); point != inside.rend(); ++point)
    umount2(point->c_str(), MNT_DETACH);
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

static int Channels(int colourType) {
  switch (colourType) {
    case 2: return 3;
    case 4: return 2;
    case 6: return 4;
    default: return 1;
  }
}

std::vector<uint8_t> PatternSamples(const PngSpec& recipe) {
  const size_t rowBytes =
      (size_t{recipe.width} * Channels(recipe.colourType) * recipe.bitDepth + 7) / 8;
  std::vector<uint8_t> samples(rowBytes * recipe.height);
  const int entries = recipe.colourType == 3 ? static_cast<int>(recipe.palette.size() / 3) : 256;
  for (size_t i = 0; i < samples.size(); ++i) {
    uint8_t value = static_cast<uint8_t>(i * 37 + (i / rowBytes) * 11);
    if (recipe.colourType == 3 && recipe.bitDepth == 8)
      value = static_cast<uint8_t>(value % entries);
    samples[i] = value;
  }
  if (recipe.colourType == 3 && recipe.bitDepth < 8) {
    // Keep every packed index below the palette's size.
    const int perByte = 8 / recipe.bitDepth;
    for (size_t i = 0; i < samples.size(); ++i) {
      uint8_t packed = 0;
      for (int k = 0; k < perByte; ++k)
        packed = static_cast<uint8_t>(packed << recipe.bitDepth | ((i + k) % entries));
      samples[i] = packed;
    }
  }
  return samples;
}

static void AppendToString(png_structp png, png_bytep data, png_size_t length) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(data), length);
}

std::string MakePng(PngSpec recipe) {
  if (recipe.samples.empty()) recipe.samples = PatternSamples(recipe);
  std::string bytes;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) throw std::runtime_error("libpng");
  png_set_write_fn(png, &bytes, AppendToString, nullptr);
  png_set_IHDR(png, info, recipe.width, recipe.height, recipe.bitDepth, recipe.colourType,
               recipe.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
  std::vector<png_color> palette;
  for (size_t i = 0; i + 2 < recipe.palette.size(); i += 3)
    palette.push_back({recipe.palette[i], recipe.palette[i + 1], recipe.palette[i + 2]});
  if (!palette.empty()) png_set_PLTE(png, info, palette.data(), static_cast<int>(palette.size()));
  if (!recipe.trns.empty()) {
    if (recipe.colourType == 3) {
      png_set_tRNS(png, info, recipe.trns.data(), static_cast<int>(recipe.trns.size()), nullptr);
    } else {
      png_color_16 colour{};
      colour.gray = static_cast<png_uint_16>(recipe.trns[0] << 8 | recipe.trns[1]);
      if (recipe.trns.size() >= 6) {
        colour.red = colour.gray;
        colour.green = static_cast<png_uint_16>(recipe.trns[2] << 8 | recipe.trns[3]);
        colour.blue = static_cast<png_uint_16>(recipe.trns[4] << 8 | recipe.trns[5]);
      }
      png_set_tRNS(png, info, nullptr, 0, &colour);
    }
  }
  if (!recipe.profile.empty()) {
    // Written by hand: libpng refuses profiles that other writers store, such as an RGB
    // profile on a grey picture.
    png_write_info_before_PLTE(png, info);
    std::vector<uint8_t> body = {'t', 'e', 's', 't', 0, 0};
    uLongf packed = compressBound(static_cast<uLong>(recipe.profile.size()));
    body.resize(6 + packed);
    compress(body.data() + 6, &packed, recipe.profile.data(),
             static_cast<uLong>(recipe.profile.size()));
    body.resize(6 + packed);
    static constexpr png_byte kName[5] = {'i', 'C', 'C', 'P', 0};
    png_write_chunk(png, kName, body.data(), body.size());
  }
  png_write_info(png, info);
  const size_t rowBytes = recipe.samples.size() / recipe.height;
  std::vector<png_bytep> rows(recipe.height);
  for (uint32_t y = 0; y < recipe.height; ++y) rows[y] = recipe.samples.data() + rowBytes * y;
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return bytes;
}

static std::string Chunk(const char* type, const std::string& body) {
  std::string out;
  const uint32_t length = static_cast<uint32_t>(body.size());
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(length >> shift);
  out += type;
  out += body;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
  crc = crc32(crc, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(crc >> shift);
  return out;
}

std::string MakeHugeHeaderPng(uint32_t width, uint32_t height) {
  std::string header;
  for (uint32_t value : {width, height})
    for (int shift = 24; shift >= 0; shift -= 8) header += static_cast<char>(value >> shift);
  header += std::string("\x08\x02\x00\x00\x00", 5);
  const std::string raw(1000, '\0');
  std::string packed(compressBound(raw.size()), '\0');
  uLongf packedSize = packed.size();
  compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize,
           reinterpret_cast<const Bytef*>(raw.data()), raw.size());
  packed.resize(packedSize);
  return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", header) + Chunk("IDAT", packed) +
         Chunk("IEND", "");
}

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool FileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

DecodedPng DecodePng(const std::string& path) {
  DecodedPng decoded;
  const std::string bytes = ReadFile(path);
  if (bytes.size() > 25) {
    decoded.bitDepth = static_cast<uint8_t>(bytes[24]);
    decoded.colourType = static_cast<uint8_t>(bytes[25]);
  }
  for (auto [format, target] :
       {std::pair<uint32_t, std::string*>{PNG_FORMAT_RGB, &decoded.rgb},
        std::pair<uint32_t, std::string*>{PNG_FORMAT_GRAY, &decoded.grey}}) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) {
      decoded.colourType = -1;
      return decoded;
    }
    image.format = format;
    target->resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, target->data(), 0, nullptr))
      decoded.colourType = -1;
  }
  return decoded;
}

static std::string StreamText(QPDFObjectHandle stream) {
  std::shared_ptr<Buffer> data = stream.getStreamData(qpdf_dl_all);
  return std::string(reinterpret_cast<const char*>(data->getBuffer()), data->getSize());
}

static std::string NameOrEmpty(QPDFObjectHandle object) {
  if (object.isArray() && object.getArrayNItems() == 1) object = object.getArrayItem(0);
  return object.isName() ? object.getName() : std::string();
}

PdfReport ReadPdf(const std::string& path) {
  PdfReport report;
  QPDF pdf;
  try {
    pdf.processFile(path.c_str());
  } catch (const std::exception&) {
    return report;
  }
  report.opened = true;
  report.version = pdf.getPDFVersion();
  QPDFObjectHandle info = pdf.getTrailer().getKey("/Info");
  if (info.isDictionary()) {
    for (const auto& key : info.getKeys())
      report.info[key] = info.getKey(key).isString() ? info.getKey(key).getUTF8Value() : "?";
  }
  std::vector<QPDFPageObjectHelper> pages = QPDFPageDocumentHelper(pdf).getAllPages();
  for (QPDFPageObjectHelper& helper : pages) {
    PdfPage page;
    QPDFObjectHandle object = helper.getObjectHandle();
    QPDFObjectHandle box = object.getKey("/MediaBox");
    for (int i = 0; i < 4 && i < box.getArrayNItems(); ++i)
      page.mediaBox[i] = box.getArrayItem(i).getNumericValue();
    QPDFObjectHandle contents = object.getKey("/Contents");
    page.contentFlate = NameOrEmpty(contents.getDict().getKey("/Filter")) == "/FlateDecode";
    std::istringstream operators(StreamText(contents));
    std::vector<std::string> words;
    for (std::string word; operators >> word;) {
      if (word == "cm" && words.size() >= 6) {
        for (int i = 0; i < 6; ++i) page.placement[i] = std::stod(words[words.size() - 6 + i]);
      }
      words.push_back(word);
    }
    for (auto& [name, image] : helper.getImages()) {
      QPDFObjectHandle dict = image.getDict();
      page.image.width = dict.getKey("/Width").getIntValueAsInt();
      page.image.height = dict.getKey("/Height").getIntValueAsInt();
      page.image.bits = dict.getKey("/BitsPerComponent").getIntValueAsInt();
      page.image.masked = dict.hasKey("/SMask") || dict.hasKey("/Mask");
      page.image.filter = NameOrEmpty(dict.getKey("/Filter"));
      QPDFObjectHandle space = dict.getKey("/ColorSpace");
      const auto readProfile = [&](QPDFObjectHandle based) {
        QPDFObjectHandle stream = based.getArrayItem(1);
        page.image.profile = StreamText(stream);
        page.image.profileObject = stream.getObjectID();
        page.image.profileComponents = stream.getDict().getKey("/N").getIntValueAsInt();
        page.image.alternate = NameOrEmpty(stream.getDict().getKey("/Alternate"));
      };
      if (space.isArray() && space.getArrayItem(0).getName() == "/ICCBased") {
        page.image.colourSpace = "/ICCBased";
        readProfile(space);
      } else if (space.isArray()) {
        page.image.colourSpace = space.getArrayItem(0).getName();
        QPDFObjectHandle base = space.getArrayItem(1);
        page.image.baseSpace = base.isArray() ? base.getArrayItem(0).getName() : NameOrEmpty(base);
        if (base.isArray()) readProfile(base);
        page.image.paletteHigh = space.getArrayItem(2).getIntValueAsInt();
        page.image.palette = space.getArrayItem(3).getStringValue();
      } else {
        page.image.colourSpace = NameOrEmpty(space);
      }
      try {
        page.image.samples = StreamText(image);
      } catch (const std::exception&) {
        // qpdf decodes no JPEG of four components; the stored bytes still tell.
      }
      std::shared_ptr<Buffer> stored = image.getRawStreamData();
      page.image.stored.assign(reinterpret_cast<const char*>(stored->getBuffer()),
                               stored->getSize());
      if (dict.hasKey("/DecodeParms"))
        page.image.decodeParms = dict.getKey("/DecodeParms").unparse();
      if (dict.hasKey("/Decode")) page.image.decode = dict.getKey("/Decode").unparse();
    }
    report.pages.push_back(page);
  }
  QPDFObjectHandle action = pdf.getRoot().getKey("/OpenAction");
  if (action.isArray() && action.getArrayNItems() == 5) {
    for (size_t i = 0; i < pages.size(); ++i) {
      if (pages[i].getObjectHandle().getObjGen() == action.getArrayItem(0).getObjGen())
        report.openActionPage = static_cast<int>(i);
    }
    report.openActionType = NameOrEmpty(action.getArrayItem(1));
    report.openActionLeft = action.getArrayItem(2).getNumericValue();
    report.openActionTop = action.getArrayItem(3).getNumericValue();
    report.openActionZoom = action.getArrayItem(4).getNumericValue();
  }
  return report;
}

std::string ImageAsRgb(const PdfImage& image) {
  const int components = image.colourSpace == "/DeviceRGB" ||
                                 (image.colourSpace == "/ICCBased" && image.profileComponents == 3)
                             ? 3
                             : 1;
  const bool indexed = image.colourSpace == "/Indexed";
  const size_t rowBytes = (size_t(image.width) * components * image.bits + 7) / 8;
  const int top = (1 << image.bits) - 1;
  std::string rgb;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width * components; ++x) {
      const size_t bit = size_t(x) * image.bits;
      const size_t at = size_t(y) * rowBytes + bit / 8;
      if (at >= image.samples.size()) return rgb;
      const int value = (uint8_t(image.samples[at]) >> (8 - image.bits - bit % 8)) & top;
      if (indexed) {
        rgb += image.palette.substr(3 * size_t(value), 3);
      } else {
        const char level = static_cast<char>(value * 255 / top);
        rgb.append(components == 1 ? 3 : 1, level);
      }
    }
  }
  return rgb;
}

}  // namespace brannock::testing

namespace brannock::testing {

bool QpdfCheckPasses(const std::string& path) {
  try {
    QPDF pdf;
    pdf.setSuppressWarnings(true);
    pdf.processFile(path.c_str());
    for (QPDFPageObjectHelper& page : QPDFPageDocumentHelper(pdf).getAllPages()) {
      for (auto& [name, image] : page.getImages()) image.getStreamData(qpdf_dl_all);
      page.getObjectHandle().getKey("/Contents").getStreamData(qpdf_dl_all);
    }
    return !pdf.anyWarnings();
  } catch (const std::exception&) {
    return false;
  }
}

namespace {

// The pixels of a binary PPM file, which goes; `width` and `height` take its size.
std::string ReadPpm(const std::string& path, int& width, int& height) {
  const std::string ppm = ReadFile(path);
  std::remove(path.c_str());
  std::istringstream header(ppm);
  std::string magic;
  int maximum = 0;
  width = height = 0;
  header >> magic >> width >> height >> maximum;
  if (magic != "P6" || maximum != 255 || width <= 0 || height <= 0) return {};
  const size_t start = static_cast<size_t>(header.tellg()) + 1;
  if (ppm.size() < start + size_t(width) * height * 3) return {};
  return ppm.substr(start, size_t(width) * height * 3);
}

}  // namespace

std::string RenderManaged(const std::string& pdfPath, const std::string& workFolder) {
  const std::string prefix = workFolder + "managed";
  const std::string command =
      "pdftoppm -r 288 -f 1 -l 1 -singlefile '" + pdfPath + "' '" + prefix + "' 2>/dev/null";
  if (std::system(command.c_str()) != 0) return {};
  int width = 0, height = 0;
  const std::string pixels = ReadPpm(prefix + ".ppm", width, height);
  if (pixels.empty() || width % 4 || height % 4) return {};
  std::string rgb;
  for (int y = 1; y < height; y += 4)
    for (int x = 1; x < width; x += 4) rgb += pixels.substr((size_t(y) * width + x) * 3, 3);
  return rgb;
}

std::string RenderPage(const std::string& pdfPath, const std::string& workFolder, int& width,
                       int& height) {
  const std::string ppm = workFolder + "page.ppm";
  const std::string command =
      "mutool draw -q -N -r 72 -o '" + ppm + "' '" + pdfPath + "' 1 2>/dev/null";
  width = height = 0;
  if (std::system(command.c_str()) != 0) return {};
  return ReadPpm(ppm, width, height);
}

}  // namespace brannock::testing
