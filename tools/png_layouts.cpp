// PNG files made byte by byte in writers' layouts, and libpng's reading of them.
#include "png_layouts.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstring>
#include <functional>

#include "colour_profile.h"
#include "over_white.h"

namespace brannock::samples {

namespace {

void PutBigEndian(std::string& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(value >> shift);
}

std::string Chunk(const char* type, const std::string& body, bool badCrc = false) {
  std::string chunk;
  PutBigEndian(chunk, static_cast<uint32_t>(body.size()));
  chunk += std::string(type, 4) + body;
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4), body.size() + 4);
  if (badCrc) crc ^= 0x10;
  PutBigEndian(chunk, static_cast<uint32_t>(crc));
  return chunk;
}

struct Kind {
  const char* name;
  int colourType;
  int depth;
  bool interlaced;
  bool keyed;    // a tRNS chunk
  bool profile;  // an iCCP chunk
};

int Channels(int colourType) {
  return colourType == 2 ? 3 : colourType == 4 ? 2 : colourType == 6 ? 4 : 1;
}

// A picture's samples, one value per channel and pixel, and the chunks that describe it.
struct Picture {
  Kind kind;
  uint32_t width = 17;
  uint32_t height = 11;
  std::vector<uint16_t> values;
  std::string palette;  // PLTE body
  std::string keys;     // tRNS body
  std::string profile;  // iCCP body

  uint16_t At(uint32_t x, uint32_t y, int c) const {
    return values[(size_t{y} * width + x) * Channels(kind.colourType) + c];
  }
};

Picture MakePicture(const Kind& kind) {
  Picture picture;
  picture.kind = kind;
  const int channels = Channels(kind.colourType);
  const uint32_t top = kind.colourType == 3 ? (1u << kind.depth) - 1 : (1u << kind.depth) - 1;
  const uint32_t entries = kind.colourType == 3 ? std::min(top + 1, 40u) : 0;
  uint32_t seed = 12345u + kind.colourType * 31u + kind.depth;
  picture.values.resize(size_t{picture.width} * picture.height * channels);
  for (auto& value : picture.values) {
    seed = seed * 1103515245u + 12345u;
    const uint32_t r = seed >> 8;
    value = static_cast<uint16_t>(entries ? r % entries : r % (top + 1));
  }
  // Fully transparent and fully opaque pixels beside the partial ones.
  if (kind.colourType & 4) {
    picture.values[channels - 1] = 0;
    picture.values[2 * channels - 1] = static_cast<uint16_t>(top);
  }
  if (kind.colourType == 3) {
    for (uint32_t i = 0; i < entries; ++i)
      for (int c = 0; c < 3; ++c) picture.palette += static_cast<char>((i * 53 + c * 97) & 0xFF);
    if (kind.keyed)
      for (uint32_t i = 0; i < entries / 2; ++i) picture.keys += static_cast<char>(i * 23);
  } else if (kind.keyed) {
    // The key is the colour of the third pixel, so that some pixels match it.
    for (int c = 0; c < channels; ++c) {
      picture.keys += static_cast<char>(picture.values[2 * channels + c] >> 8);
      picture.keys += static_cast<char>(picture.values[2 * channels + c] & 0xFF);
    }
  }
  if (kind.profile) {
    const std::vector<uint8_t> icc = ProfileForCodePoints(12, 13);
    std::string packed(compressBound(icc.size()), '\0');
    uLongf packedSize = packed.size();
    compress(reinterpret_cast<Bytef*>(packed.data()), &packedSize, icc.data(), icc.size());
    picture.profile = std::string("Display P3\0\0", 12) + packed.substr(0, packedSize);
  }
  return picture;
}

// The rows as the PNG holds them, every row with filter type 0; Adam7 passes in order.
std::string RawImageData(const Picture& picture) {
  static constexpr int kAdam7[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                                       {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};
  static constexpr int kWhole[1][4] = {{0, 0, 1, 1}};
  const int passes = picture.kind.interlaced ? 7 : 1;
  const auto& steps = picture.kind.interlaced ? kAdam7 : kWhole;
  const int channels = Channels(picture.kind.colourType);
  const int depth = picture.kind.depth;
  std::string raw;
  for (int p = 0; p < passes; ++p) {
    const auto [x0, y0, dx, dy] = steps[p];
    if (uint32_t(x0) >= picture.width) continue;
    for (uint32_t y = y0; y < picture.height; y += dy) {
      raw += '\0';
      uint32_t bits = 0, filled = 0;
      for (uint32_t x = x0; x < picture.width; x += dx) {
        for (int c = 0; c < channels; ++c) {
          const uint16_t value = picture.At(x, y, c);
          if (depth == 16) {
            raw += static_cast<char>(value >> 8);
            raw += static_cast<char>(value & 0xFF);
          } else if (depth == 8) {
            raw += static_cast<char>(value);
          } else {
            bits = bits << depth | value;
            filled += depth;
            if (filled == 8) raw += static_cast<char>(bits), bits = filled = 0;
          }
        }
      }
      if (filled) raw += static_cast<char>(bits << (8 - filled));
    }
  }
  return raw;
}

enum class Packing { kDefault, kStored, kSmallWindow, kFlushedHalves };

// The zlib stream of `raw`; with kFlushedHalves, `half` gets the offset of the full flush
// in the middle.
std::string Compress(const std::string& raw, Packing packing, size_t* half = nullptr) {
  z_stream stream{};
  const int level = packing == Packing::kStored ? 0 : packing == Packing::kSmallWindow ? 9 : 6;
  const int window = packing == Packing::kSmallWindow ? 9 : 15;
  deflateInit2(&stream, level, Z_DEFLATED, window, packing == Packing::kSmallWindow ? 1 : 8,
               Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&stream, raw.size()) + 64, '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  if (packing == Packing::kFlushedHalves) {
    stream.avail_in = static_cast<uInt>(raw.size() / 2);
    deflate(&stream, Z_FULL_FLUSH);
    if (half) *half = out.size() - stream.avail_out;
  }
  stream.avail_in =
      static_cast<uInt>(raw.size() - (stream.next_in - reinterpret_cast<const Bytef*>(raw.data())));
  deflate(&stream, Z_FINISH);
  out.resize(out.size() - stream.avail_out);
  deflateEnd(&stream);
  return out;
}

// One writer's layout: what comes before the image data, how the image data is split,
// and what comes after it.
struct Layout {
  const char* name;
  std::function<std::string(const Picture&)> make;
};

std::string Header(const Picture& picture) {
  std::string body;
  PutBigEndian(body, picture.width);
  PutBigEndian(body, picture.height);
  body += static_cast<char>(picture.kind.depth);
  body += static_cast<char>(picture.kind.colourType);
  body += std::string(2, '\0');
  body += static_cast<char>(picture.kind.interlaced ? 1 : 0);
  return "\x89PNG\r\n\x1a\n" + Chunk("IHDR", body);
}

// The chunks between IHDR and the image data, with `extra` placed as a writer would.
std::string BeforeImageData(const Picture& picture, const std::string& extra = "",
                            bool badProfileCrc = false) {
  std::string chunks;
  if (!picture.profile.empty()) chunks += Chunk("iCCP", picture.profile, badProfileCrc);
  chunks += extra;
  if (!picture.palette.empty()) chunks += Chunk("PLTE", picture.palette);
  if (!picture.keys.empty()) chunks += Chunk("tRNS", picture.keys);
  return chunks;
}

std::string ImageDataChunks(const std::vector<std::string>& pieces) {
  std::string chunks;
  for (const std::string& piece : pieces) chunks += Chunk("IDAT", piece);
  return chunks;
}

std::string Text(const char* key, const std::string& value) {
  return Chunk("tEXt", std::string(key) + '\0' + value);
}

std::string ZText() {
  const std::string text = "Made by a writer that compresses its comments";
  std::string packed(compressBound(text.size()), '\0');
  uLongf size = packed.size();
  compress(reinterpret_cast<Bytef*>(packed.data()), &size,
           reinterpret_cast<const Bytef*>(text.data()), text.size());
  return Chunk("zTXt", std::string("Comment\0\0", 9) + packed.substr(0, size));
}

std::string IText() {
  return Chunk("iTXt", std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + "<x:xmpmeta/>");
}

std::string Time() { return Chunk("tIME", std::string("\x07\xEA\x0C\x09\x16\x16\x0F", 7)); }

std::string Exif() { return Chunk("eXIf", std::string("MM\0*\0\0\0\x08\0\0", 10)); }

// The usual ending: the image data in one chunk, `after` between it and IEND.
std::string Simple(const Picture& picture, const std::string& before, const std::string& after,
                   Packing packing = Packing::kDefault) {
  return Header(picture) + BeforeImageData(picture, before) +
         Chunk("IDAT", Compress(RawImageData(picture), packing)) + after + Chunk("IEND", "");
}

std::string WithStream(const Picture& picture, const std::vector<std::string>& pieces,
                       const std::string& after = "") {
  return Header(picture) + BeforeImageData(picture) + ImageDataChunks(pieces) + after +
         Chunk("IEND", "");
}

std::string AnimationControl(uint32_t frames) {
  std::string body;
  PutBigEndian(body, frames);
  PutBigEndian(body, 0);
  return Chunk("acTL", body);
}

std::string FrameControl(const Picture& picture, uint32_t sequence) {
  std::string body;
  for (uint32_t v : {sequence, picture.width, picture.height, 0u, 0u}) PutBigEndian(body, v);
  body += std::string("\0\x01\0\x0A\0\0", 6);
  return Chunk("fcTL", body);
}

std::string FrameData(const Picture& picture, uint32_t sequence) {
  std::string body;
  PutBigEndian(body, sequence);
  return Chunk("fdAT", body + Compress(RawImageData(picture), Packing::kStored));
}

std::vector<Layout> Layouts() {
  std::vector<Layout> layouts = {
      {"plain", [](const Picture& p) { return Simple(p, "", ""); }},
      {"text-before",
       [](const Picture& p) { return Simple(p, Text("Software", "w") + ZText() + IText(), ""); }},
      {"text-after", [](const Picture& p) { return Simple(p, "", Text("Comment", "after")); }},
      {"ztxt-after", [](const Picture& p) { return Simple(p, "", ZText()); }},
      {"itxt-after", [](const Picture& p) { return Simple(p, "", IText()); }},
      {"time-after", [](const Picture& p) { return Simple(p, "", Time()); }},
      {"exif-after", [](const Picture& p) { return Simple(p, "", Exif()); }},
      {"private-after", [](const Picture& p) { return Simple(p, "", Chunk("prVt", "mine")); }},
      {"private-before", [](const Picture& p) { return Simple(p, Chunk("prVt", "mine"), ""); }},
      {"krita-after",
       [](const Picture& p) {
         std::string texts;
         for (int i = 0; i < 60; ++i) texts += Text("krita:key", std::to_string(i));
         return Simple(p, "", texts + Exif());
       }},
      {"stored", [](const Picture& p) { return Simple(p, "", "", Packing::kStored); }},
      {"small-window", [](const Picture& p) { return Simple(p, "", "", Packing::kSmallWindow); }},
      {"idat-bytes",
       [](const Picture& p) {
         const std::string stream = Compress(RawImageData(p), Packing::kStored);
         std::vector<std::string> pieces;
         for (char c : stream) pieces.emplace_back(1, c);
         return WithStream(p, pieces);
       }},
      {"idat-empty-between",
       [](const Picture& p) {
         const std::string s = Compress(RawImageData(p), Packing::kDefault);
         return WithStream(p, {s.substr(0, s.size() / 2), "", s.substr(s.size() / 2)});
       }},
      {"idat-empty-last",
       [](const Picture& p) {
         return WithStream(p, {Compress(RawImageData(p), Packing::kDefault), ""});
       }},
      {"idot-halves",
       [](const Picture& p) {
         size_t half = 0;
         const std::string s = Compress(RawImageData(p), Packing::kFlushedHalves, &half);
         std::string body;
         for (uint32_t v :
              {2u, 0u, p.height / 2, 0x28u, p.height / 2, p.height - p.height / 2, 0x50u})
           PutBigEndian(body, v);
         return Header(p) + BeforeImageData(p, Chunk("iDOT", body)) +
                ImageDataChunks({s.substr(0, half), s.substr(half)}) + Chunk("IEND", "");
       }},
      {"apng",
       [](const Picture& p) {
         return Header(p) + BeforeImageData(p, AnimationControl(2) + FrameControl(p, 0)) +
                Chunk("IDAT", Compress(RawImageData(p), Packing::kDefault)) + FrameControl(p, 1) +
                FrameData(p, 2) + Chunk("IEND", "");
       }},
      {"apng-hidden-default",
       [](const Picture& p) {
         return Header(p) + BeforeImageData(p, AnimationControl(1)) +
                Chunk("IDAT", Compress(RawImageData(p), Packing::kDefault)) + FrameControl(p, 0) +
                FrameData(p, 1) + Chunk("IEND", "");
       }},
      {"trailing-in-idat",
       [](const Picture& p) {
         return WithStream(p, {Compress(RawImageData(p), Packing::kDefault) + "junk"});
       }},
      {"trailing-own-idat",
       [](const Picture& p) {
         return WithStream(p, {Compress(RawImageData(p), Packing::kDefault), "junk"});
       }},
      {"adler-own-idat",
       [](const Picture& p) {
         const std::string s = Compress(RawImageData(p), Packing::kDefault);
         return WithStream(p, {s.substr(0, s.size() - 4), s.substr(s.size() - 4)});
       }},
      {"adler-bad-last",
       [](const Picture& p) {
         std::string s = Compress(RawImageData(p), Packing::kDefault);
         s.back() ^= 1;
         return WithStream(p, {s});
       }},
      {"adler-bad-own-idat",
       [](const Picture& p) {
         std::string s = Compress(RawImageData(p), Packing::kDefault);
         s.back() ^= 1;
         return WithStream(p, {s.substr(0, s.size() - 4), s.substr(s.size() - 4)});
       }},
      {"crc-bad-text-before",
       [](const Picture& p) {
         return Simple(p, Chunk("tEXt", std::string("Title\0x", 7), true), "");
       }},
      {"crc-bad-text-after",
       [](const Picture& p) {
         return Simple(p, "", Chunk("tEXt", std::string("Title\0x", 7), true));
       }},
      {"crc-bad-profile",
       [](const Picture& p) {
         Picture profiled = p;
         if (profiled.profile.empty()) profiled.kind.profile = true;
         profiled.profile = MakePicture(profiled.kind).profile;
         return Header(profiled) + BeforeImageData(profiled, "", true) +
                Chunk("IDAT", Compress(RawImageData(p), Packing::kDefault)) + Chunk("IEND", "");
       }},
      {"crc-bad-idat",
       [](const Picture& p) {
         std::string file = Simple(p, "", "");
         file[file.size() - 13] ^= 1;  // the IDAT's CRC
         return file;
       }},
      {"idat-split-by-text",
       [](const Picture& p) {
         const std::string s = Compress(RawImageData(p), Packing::kStored);
         return Header(p) + BeforeImageData(p) + Chunk("IDAT", s.substr(0, s.size() / 2)) +
                Text("Comment", "between") + Chunk("IDAT", s.substr(s.size() / 2)) +
                Chunk("IEND", "");
       }},
      {"idat-after-text",
       [](const Picture& p) {
         return Simple(p, "", Text("Comment", "between") + Chunk("IDAT", "late"));
       }},
      {"no-iend",
       [](const Picture& p) {
         const std::string file = Simple(p, "", Text("Comment", "after"));
         return file.substr(0, file.size() - 12);
       }},
  };
  return layouts;
}

const Kind kKinds[] = {
    {"grey1", 0, 1, false, false, false},       {"grey2", 0, 2, false, false, false},
    {"grey4", 0, 4, false, false, false},       {"grey8", 0, 8, false, false, false},
    {"grey16", 0, 16, false, false, false},     {"rgb8", 2, 8, false, false, false},
    {"rgb16", 2, 16, false, false, false},      {"pal1", 3, 1, false, false, false},
    {"pal2", 3, 2, false, false, false},        {"pal4", 3, 4, false, false, false},
    {"pal8", 3, 8, false, false, false},        {"ga8", 4, 8, false, false, false},
    {"ga16", 4, 16, false, false, false},       {"rgba8", 6, 8, false, false, false},
    {"rgba16", 6, 16, false, false, false},     {"grey2-trns", 0, 2, false, true, false},
    {"grey8-trns", 0, 8, false, true, false},   {"rgb16-trns", 2, 16, false, true, false},
    {"pal4-trns", 3, 4, false, true, false},    {"rgb8-iccp", 2, 8, false, false, true},
    {"grey16-iccp", 0, 16, false, false, true}, {"pal8-iccp-trns", 3, 8, false, true, true},
};

}  // namespace

std::vector<NamedPng> WriterPngLayouts() {
  std::vector<NamedPng> files;
  const std::vector<Layout> layouts = Layouts();
  for (const Kind& base : kKinds) {
    for (bool interlaced : {false, true}) {
      Kind kind = base;
      kind.interlaced = interlaced;
      const Picture picture = MakePicture(kind);
      for (const Layout& layout : layouts)
        files.push_back({std::string(kind.name) + (interlaced ? "i/" : "/") + layout.name,
                         layout.make(picture)});
    }
  }
  return files;
}

namespace {

struct ReadJob {
  std::jmp_buf jump;
  png_structp png = nullptr;
  png_infop info = nullptr;
  const std::string* bytes = nullptr;
  size_t position = 0;
  std::vector<uint8_t> pixels;
  std::vector<png_bytep> rows;
  ~ReadJob() {
    if (png) png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
  }
};

[[noreturn]] void Stop(png_structp png, png_const_charp) {
  std::longjmp(static_cast<ReadJob*>(png_get_error_ptr(png))->jump, 1);
}
void Quiet(png_structp, png_const_charp) {}

void ReadBytes(png_structp png, png_bytep out, size_t size) {
  auto* job = static_cast<ReadJob*>(png_get_io_ptr(png));
  if (job->bytes->size() - job->position < size) png_error(png, "Read Error");
  std::memcpy(out, job->bytes->data() + job->position, size);
  job->position += size;
}

bool ReadAll(ReadJob* job, LibpngPicture* picture, int* channels, int* depth) {
  if (setjmp(job->jump)) return false;
  job->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, Stop, Quiet);
  job->info = png_create_info_struct(job->png);
  png_set_read_fn(job->png, job, ReadBytes);
  png_read_info(job->png, job->info);
  const int colourType = png_get_color_type(job->png, job->info);
  picture->width = png_get_image_width(job->png, job->info);
  picture->height = png_get_image_height(job->png, job->info);
  picture->grey = !(colourType & PNG_COLOR_MASK_COLOR);
  picture->profile = png_get_valid(job->png, job->info, PNG_INFO_iCCP) != 0;
  if (uint64_t{picture->width} * picture->height > kMaxReferencePixels) {
    picture->tooLarge = true;
    return false;
  }
  png_set_expand(job->png);  // palettes to RGB, low depths to 8, tRNS to alpha
  png_set_gray_to_rgb(job->png);
  png_set_interlace_handling(job->png);
  png_read_update_info(job->png, job->info);
  *channels = png_get_channels(job->png, job->info);
  *depth = png_get_bit_depth(job->png, job->info);
  const size_t rowBytes = png_get_rowbytes(job->png, job->info);
  job->pixels.assign(rowBytes * picture->height, 0);
  for (uint32_t y = 0; y < picture->height; ++y)
    job->rows.push_back(job->pixels.data() + rowBytes * y);
  png_read_image(job->png, job->rows.data());
  png_read_end(job->png, nullptr);
  return true;
}

}  // namespace

LibpngPicture ReadWithLibpng(const std::string& bytes) {
  LibpngPicture picture;
  ReadJob job;
  job.bytes = &bytes;
  int channels = 0, depth = 0;
  if (!ReadAll(&job, &picture, &channels, &depth)) return picture;
  picture.read = true;
  const size_t pixels = size_t{picture.width} * picture.height;
  const uint8_t* in = job.pixels.data();
  const int bytesPerSample = depth / 8;
  for (size_t i = 0; i < pixels; ++i, in += channels * bytesPerSample) {
    const auto sample = [&](int c) {
      return bytesPerSample == 2 ? uint32_t{in[2 * c]} << 8 | in[2 * c + 1] : uint32_t{in[c]};
    };
    for (int c = 0; c < 3; ++c) {
      if (channels == 3) {
        picture.rgb += static_cast<char>(bytesPerSample == 2 ? sample(c) >> 8 : sample(c));
      } else if (bytesPerSample == 2) {
        picture.rgb += static_cast<char>(OverWhite16(sample(c), sample(3)) >> 8);
      } else {
        picture.rgb += static_cast<char>(OverWhite8(sample(c), sample(3)));
      }
    }
  }
  return picture;
}

}  // namespace brannock::samples
