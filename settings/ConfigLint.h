#pragma once
#include "settings/IniFile.h"

#include <span>
#include <string>
#include <string_view>
#include <vector>

// What an operator who edits config.ini by hand most likely got wrong, for the log and the web
// console's header: nothing is changed, each finding is one Chinese sentence that names the
// channel (id and name) and the key.
//  - a key no channel or global setting has, within a few typing slips of one that exists
//    ("Adresss", "VdFrameRate", "m_bAutoRn"): the value it holds is never read;
//  - a number that is not one ("25fps" reads as 25, "abc" as 0) or lies outside what ffmpeg and
//    the encoders take (frame rate, size, bitrates, channels, AAC's sample rates, 0/1 checks);
//  - a video re-encode (checkstate and checkstate1 on) without a frame rate, width, height or
//    profile: ffmpeg refuses to start it;
//  - a state word other than "运行中" or "暂停中" (such a channel is never started), and a
//    deletion mark other than "true" or "false";
//  - an extra publish address (Adress2 ...) that is not rtmp://: nothing is published there.
// Channels marked deleted are skipped. Pure; findings ordered by channel id, global ones first.
std::vector<std::string> LintConfig(const IniFile& doc, std::span<const std::string_view> globalKeys);

// The findings of the latest lint of the config.ini at iniPath in this process, kept for the
// status endpoint's header; safe from any thread.
void KeepConfigWarnings(const std::string& iniPath, std::vector<std::string> warnings);
std::vector<std::string> ConfigWarnings(const std::string& iniPath);
