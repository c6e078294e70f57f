// settings.ini: a few text values of the windowed program, kept between its runs in the INI
// layout of the classic profile functions.
#pragma once

#include <string>

namespace brannock {

/// The settings file; set when the main dialog opens. WriteSetting computes it when empty.
extern std::string g_strSettingsPath;

/// The section every key lives in.
inline constexpr const char* kSettingsSection = "Settings";

/// The value under `key` in section "Settings" of g_strSettingsPath, cut to its first 2599
/// characters; `fallback` when that is empty. Section and key names match without regard
/// to ASCII case, blanks around key and value are ignored, and one pair of equal quotes
/// (' or ") around the value is removed. A missing file, section or key reads as empty.
std::string ReadSetting(const std::string& key, const std::string& fallback = {});

/// Stores `value` under `key` in section "Settings": an existing line of the key is
/// replaced in place, a new key becomes the last line of its section, a missing section is
/// added at the end and a missing file is made; every other line stays as it was. The new
/// file is written under another name and renamed over the old one, so it is never left
/// half-written. Fails silently (the file stays as it was) when the file is read-only, the
/// folder cannot be written or the disk is full.
void WriteSetting(const std::string& key, const std::string& value);

/// The INI rules on a file's text, for the two operations above: the value of `key` in
/// `section` (empty when missing), and the text with `key` set to `value` (CR LF lines).
std::string ReadIniValue(const std::string& text, const std::string& section,
                         const std::string& key);
std::string WriteIniValue(const std::string& text, const std::string& section,
                          const std::string& key, const std::string& value);

}  // namespace brannock
