// Bringing every accepted input into the one form the PDF writer embeds: a plain PNG file.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "pdf_assembly.h"

namespace brannock {

/// The windowed program's staging folder (program folder + "tmp/"); set before any staging.
extern std::string g_strTempDir;

/// Number of the next staged PNG; starts at 0, only grows, shared by all staging threads.
extern std::atomic<int32_t> g_nStageCounter;

/// True when the file is a picture that ImageFile::Load sets out to decode: an accepted
/// format by its first bytes, with headers that give a size within the limits. Only the
/// headers are read; a file whose pixels are damaged passes, and fails when it is staged.
bool IsLoadableImage(const std::string& path);

enum class CopyResult { kCopied, kSkipped, kWriteFailed };

/// Copies a regular file, replacing the target. A source that cannot be read, or is not a
/// regular file (a FIFO would block, a folder cannot be copied), is skipped; a copy that
/// cannot be written (a full disk) fails, and leaves no target behind.
CopyResult CopyRegularFile(const std::string& source, const std::string& target);

/// True for a file that starts with the PNG signature: one that the PDF embeds as it is.
bool CheckPngSignature(const std::string& path);

/// Local time of `time` formatted by strftime; empty when the result would be empty or
/// longer than 127 characters.
std::string FormatLocalTime(int64_t time, const std::string& pattern);

/// Decodes `path` and writes it as a plain PNG named g_strTempDir + local time
/// ("%Y%m%d-%H%M%S") + "-%08d.png" with the next counter value; makes g_strTempDir when
/// missing. Returns the PNG's path; empty when the input does not decode (the counter is not
/// raised and nothing is made) or the PNG cannot be written (the counter value stays used).
/// The caller deletes the PNG.
std::string StageImageAsPng(const std::string& path);

/// StageImageAsPng for every page of `path` (the pages of a multi-page TIFF; one page for
/// any other file), each with the next counter value, in page order. Empty when the first
/// page does not decode. A later page that does not decode ends the list with an empty
/// entry, which the PDF assembly reports as an input it cannot load; the pages before it
/// stay. The caller deletes the PNGs.
/// When `jpegs` keeps JPEGs, a JPEG (by its content) whose headers Load accepts is staged
/// as a copy under the same name but for ".jpg", and the assembly decides what it becomes.
std::vector<std::string> StageImagePages(const std::string& path,
                                         JpegHandling jpegs = JpegHandling::kDecode);

/// Writes one PDF beside the image, with a page for each of its pages (StageImagePages):
/// the path up to the last '.' of its file name, then "pdf". Returns that path; empty when
/// the image does not decode, its file name has no '.', its extension already is "pdf" (any
/// case), or the PDF cannot be written. The staged PNGs are always deleted; an existing PDF
/// is replaced only by a complete new one. `jpegs` as for StageImagePages.
std::string ConvertSingleImage(const std::string& path, JpegHandling jpegs = JpegHandling::kDecode);

/// Console staging of one copy inside a staging folder. A decodable copy that is not a PNG
/// is written as a PNG beside it and the copy deleted; the PNG is named folder + stem +
/// ".png", or, when another file already holds that name, file name + ".png" (then
/// file name + "-2.png", ...), so that every input keeps its own page. Each later page of a
/// multi-page TIFF goes beside the first page's PNG, under its name + "-000002.png" and so
/// on, which sort after it and before the next copy's. Returns the first page's path.
/// Empty, with the copy left as it was, when the copy does not decode, already is a PNG
/// (whatever its name), is a JPEG and `jpegs` keeps JPEGs (the assembly reads it), or the
/// PNG cannot be written. A later page that does not decode
/// ends the document there: the pages before it stay, and so does the copy, which the
/// assembly then reports as an input it cannot load.
std::string ReplaceWithPng(const std::string& path, JpegHandling jpegs = JpegHandling::kDecode);

/// ReplaceWithPng on every path, spread over all cores page by page, with exactly the files
/// and names that calling it on each path in list order gives. Returns the paths that
/// decoded but whose PNG could not be written (a full disk): they are left as they were.
/// Keeps a total of the PNGs' sizes (PNG copies and JPEG copies left for the assembly
/// included) as the PDF will hold them; once
/// the document could no longer stay within MaxPdfBytes() it starts no more, sets
/// `tooLarge` and leaves the copies not started as they were.
std::vector<std::string> ReplaceAllWithPng(const std::vector<std::string>& paths,
                                           bool* tooLarge = nullptr,
                                           JpegHandling jpegs = JpegHandling::kDecode);

/// True for a copy that staging leaves as it is for the assembly: a PNG, and a JPEG when
/// `jpegs` keeps JPEGs. Both by their first bytes.
bool StaysAsItIs(const std::string& path, JpegHandling jpegs);

}  // namespace brannock
