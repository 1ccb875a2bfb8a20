#pragma once

// The one section of config.ini that holds every setting.
inline constexpr char kConfigSection[] = "SET DEFAULT VALUE";
