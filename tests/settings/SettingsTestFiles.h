#pragma once
#include "settings/ConfigStore.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

// A store over a config.ini holding these bytes.
inline ConfigStore StoreWith(const TempDir& dir, std::string_view bytes)
{
    WriteFile(dir.File("config.ini"), bytes);
    return ConfigStore(dir.Path());
}
