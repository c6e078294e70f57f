// The rewrite of decodable PNGs that are not plain (16-bit, alpha, tRNS, interlaced) into
// plain ones, their transparency composited over white.
#include <unistd.h>

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "over_white.h"
#include "png_codec.h"
#include "png_internal.h"

namespace brannock {

namespace {

// Makes the reader and reads the header; a libpng error jumps to the caller's setjmp.
bool StartReader(PngJob* job) {
  job->reader = png_create_read_struct(PNG_LIBPNG_VER_STRING, job, JumpOnError, IgnoreWarning);
  if (!job->reader) return false;
  job->readerInfo = png_create_info_struct(job->reader);
  if (!job->readerInfo) return false;
  png_set_chunk_malloc_max(job->reader, 0);
  // We read the profile ourselves; libpng's own checks of it refuse profiles that every
  // viewer takes, and would cost the picture its page.
  static constexpr png_byte kProfileChunk[5] = {'i', 'C', 'C', 'P', 0};
  png_set_keep_unknown_chunks(job->reader, PNG_HANDLE_CHUNK_NEVER, kProfileChunk, 1);
  png_init_io(job->reader, job->input);
  png_read_info(job->reader, job->readerInfo);
  return true;
}

// What the reader delivers and what becomes of it: rows with an alpha channel are
// composited over white into plain rows; a palette has its entries composited instead.
struct ReadPlan {
  uint32_t width = 0;
  uint32_t height = 0;
  int colourType = 0;  // of the plain PNG: grey, RGB or palette
  int bitDepth = 8;    // of the plain PNG
  bool composite = false;
  int colourChannels = 1;  // of the rows read, beside their alpha
  int readDepth = 8;       // of the rows read: 8 or 16 when compositing
  std::vector<png_color> palette;
  size_t rowBytes = 0;  // of the rows read
  size_t plainRowBytes = 0;
  std::vector<uint8_t> profile;  // the one the plain PNG keeps

  PngColour Colour() const {
    return colourType == PNG_COLOR_TYPE_RGB       ? PngColour::kRgb
           : colourType == PNG_COLOR_TYPE_PALETTE ? PngColour::kPalette
                                                  : PngColour::kGrey;
  }
};

// Sets libpng's transformations for the plan; a libpng error jumps to the caller's setjmp.
ReadPlan PlanRead(PngJob* job) {
  png_structp reader = job->reader;
  png_infop info = job->readerInfo;
  ReadPlan plan;
  plan.width = png_get_image_width(reader, info);
  plan.height = png_get_image_height(reader, info);
  const int colourType = png_get_color_type(reader, info);
  const int depth = png_get_bit_depth(reader, info);
  const bool keyed = png_get_valid(reader, info, PNG_INFO_tRNS) != 0;
  plan.colourType = colourType & ~PNG_COLOR_MASK_ALPHA;
  if (colourType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp entries = nullptr;
    int count = 0;
    if (png_get_PLTE(reader, info, &entries, &count) != PNG_INFO_PLTE) png_error(reader, "PLTE");
    plan.palette.assign(entries, entries + count);
    png_bytep alpha = nullptr;
    int alphaCount = 0;
    if (keyed && png_get_tRNS(reader, info, &alpha, &alphaCount, nullptr) == PNG_INFO_tRNS) {
      for (int i = 0; i < std::min(count, alphaCount); ++i) {
        png_color& entry = plan.palette[i];
        entry = {OverWhite8(entry.red, alpha[i]), OverWhite8(entry.green, alpha[i]),
                 OverWhite8(entry.blue, alpha[i])};
      }
    }
    plan.bitDepth = depth;
  } else if ((colourType & PNG_COLOR_MASK_ALPHA) || keyed) {
    if (keyed) png_set_tRNS_to_alpha(reader);  // grey below 8 bits comes as 8
    plan.composite = true;
    plan.colourChannels = colourType & PNG_COLOR_MASK_COLOR ? 3 : 1;
    plan.readDepth = depth == 16 ? 16 : 8;
  } else {
    png_set_strip_16(reader);
    plan.bitDepth = std::min(8, depth);
  }
  png_set_interlace_handling(reader);
  png_read_update_info(reader, info);
  plan.rowBytes = png_get_rowbytes(reader, info);
  plan.plainRowBytes = plan.composite ? size_t{plan.width} * plan.colourChannels : plan.rowBytes;
  return plan;
}

// Composites one row of colour and alpha samples over white into 8-bit colour samples at
// the row's start, in place: every pixel is read whole before its output is written, and
// the output never runs ahead of the input.
void CompositeRow(uint8_t* row, const ReadPlan& plan) {
  const int channels = plan.colourChannels;
  uint8_t* out = row;
  if (plan.readDepth == 8) {
    for (uint32_t x = 0; x < plan.width; ++x, row += channels + 1) {
      const uint8_t alpha = row[channels];
      uint8_t colour[3];
      for (int c = 0; c < channels; ++c) colour[c] = OverWhite8(row[c], alpha);
      for (int c = 0; c < channels; ++c) *out++ = colour[c];
    }
    return;
  }
  const auto sample = [](const uint8_t* p) { return uint32_t{p[0]} << 8 | p[1]; };
  for (uint32_t x = 0; x < plan.width; ++x, row += 2 * (channels + 1)) {
    const uint32_t alpha = sample(row + 2 * channels);
    uint8_t colour[3];
    for (int c = 0; c < channels; ++c) colour[c] = OverWhite16(sample(row + 2 * c), alpha) >> 8;
    for (int c = 0; c < channels; ++c) *out++ = colour[c];
  }
}

enum class WholeRead { kRead, kDeclined, kFailed };

// Reads a PNG whose plain form has 8-bit samples and fits kWholePictureBytes into `samples`,
// with its layout, so that it can be written whole; declines any other. Runs with every
// resource held by `job` or the caller (the plan too), so a longjmp out of libpng leaks
// nothing.
WholeRead ReadWholeJob(PngJob* job, ReadPlan* planned, PlainPngLayout* layout,
                       std::vector<uint8_t>* samples) {
  if (setjmp(job->jump)) return WholeRead::kFailed;
  if (!StartReader(job)) return WholeRead::kFailed;
  *planned = PlanRead(job);
  const ReadPlan& plan = *planned;
  const uint32_t height = plan.height;
  if (plan.bitDepth < 8 || plan.rowBytes * height > kWholePictureBytes) return WholeRead::kDeclined;
  layout->width = plan.width;
  layout->height = height;
  layout->colour = plan.Colour();
  for (const png_color& entry : plan.palette)
    layout->palette.insert(layout->palette.end(), {entry.red, entry.green, entry.blue});
  samples->reserve(plan.rowBytes * height + height);  // room for the filter bytes
  samples->assign(plan.rowBytes * height, 0);
  job->rowPointers = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * height));
  if (!job->rowPointers) return WholeRead::kFailed;
  for (uint32_t y = 0; y < height; ++y) job->rowPointers[y] = samples->data() + plan.rowBytes * y;
  png_read_image(job->reader, job->rowPointers);
  png_read_end(job->reader, nullptr);  // what libpng cannot read to its end is no picture
  if (plan.composite) {
    // Each plain row moves towards the start, never over a row not yet composited.
    for (uint32_t y = 0; y < height; ++y) {
      CompositeRow(job->rowPointers[y], plan);
      std::memmove(samples->data() + plan.plainRowBytes * y, job->rowPointers[y],
                   plan.plainRowBytes);
    }
    samples->resize(plan.plainRowBytes * height);
  }
  return WholeRead::kRead;
}

// Runs with every resource held by `job` or the caller (the plan too), so a longjmp out of
// libpng leaks nothing.
bool RewriteJob(PngJob* job, ReadPlan* planned, const std::vector<uint8_t>& profile) {
  if (setjmp(job->jump)) return false;
  if (!StartReader(job)) return false;
  *planned = PlanRead(job);
  const ReadPlan& plan = *planned;
  const uint32_t height = plan.height;
  const bool interlaced =
      png_get_interlace_type(job->reader, job->readerInfo) != PNG_INTERLACE_NONE;

  StartWriter(job, plan.width, height, plan.colourType, plan.bitDepth,
              StagingEncodingFor(plan.Colour()));
  if (!plan.palette.empty())
    png_set_PLTE(job->writer, job->writerInfo, plan.palette.data(),
                 static_cast<int>(plan.palette.size()));
  planned->profile = ProfileFor(profile, plan.Colour());
  WriteProfileChunk(job, plan.profile);
  png_write_info(job->writer, job->writerInfo);

  if (interlaced) {
    // The passes must all be read before any row is complete. Below 8 bits the passes never
    // set a row's padding bits, which would otherwise carry whatever the heap held.
    job->pixels = static_cast<png_bytep>(std::calloc(height, plan.rowBytes));
    job->rowPointers = static_cast<png_bytepp>(std::malloc(sizeof(png_bytep) * height));
    if (!job->pixels || !job->rowPointers) return false;
    for (uint32_t y = 0; y < height; ++y) job->rowPointers[y] = job->pixels + plan.rowBytes * y;
    png_read_image(job->reader, job->rowPointers);
    for (uint32_t y = 0; y < height; ++y) {
      if (plan.composite) CompositeRow(job->rowPointers[y], plan);
      png_write_row(job->writer, job->rowPointers[y]);
    }
  } else {
    job->pixels = static_cast<png_bytep>(std::calloc(1, plan.rowBytes));
    if (!job->pixels) return false;
    for (uint32_t y = 0; y < height; ++y) {
      png_read_row(job->reader, job->pixels, nullptr);
      if (plan.composite) CompositeRow(job->pixels, plan);
      png_write_row(job->writer, job->pixels);
    }
  }
  png_read_end(job->reader, nullptr);
  png_write_end(job->writer, nullptr);
  return true;
}

}  // namespace

bool RewriteAsPlainPng(const std::string& source, const std::string& target) {
  std::vector<uint8_t> profile;
  {
    const MappedFile file(source);
    if (file.data()) profile = ReadPngProfile(file.data(), file.size());
  }
  // Pictures of 8-bit samples that fit in memory go the way staged pictures go; the others
  // are streamed row by row.
  PlainPngLayout layout;
  std::vector<uint8_t> samples;
  WholeRead whole;
  {
    PngJob job;
    job.input = std::fopen(source.c_str(), "rbe");
    if (!job.input) return false;
    ReadPlan plan;
    whole = ReadWholeJob(&job, &plan, &layout, &samples);
  }
  if (whole == WholeRead::kFailed) return false;
  if (whole == WholeRead::kRead) {
    layout.profile = ProfileFor(std::move(profile), layout.colour);
    return WriteStagedPng(target, layout, samples);
  }
  bool written = false;
  {
    PngJob job;
    job.input = std::fopen(source.c_str(), "rbe");
    job.output = job.input ? std::fopen(target.c_str(), "wbe") : nullptr;
    if (!job.output) return false;
    ReadPlan plan;
    written = RewriteJob(&job, &plan, profile) && CloseOutput(&job);
  }
  if (!written) unlink(target.c_str());
  return written;
}

}  // namespace brannock
