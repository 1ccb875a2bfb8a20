#pragma once
#include "settings/ConfigStore.h"
#include "support/TempDir.h"

#include <fstream>
#include <gtest/gtest.h>
#include <iterator>

// A store over a config.ini holding these bytes.
inline ConfigStore StoreWith(const TempDir& dir, std::string_view bytes)
{
    WriteFile(dir.File("config.ini"), bytes);
    return ConfigStore(dir.Path());
}

// UTF-16LE bytes with a byte-order mark, from a UTF-16 literal.
inline std::string Utf16LeFile(std::u16string_view text)
{
    std::string out = "\xFF\xFE";
    for (char16_t u : text)
        out += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
    return out;
}
