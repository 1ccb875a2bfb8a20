#pragma once
#include <string_view>

// One file of the web console's page (web/page), compiled into the program.
struct WebAsset {
    std::string_view path;      // the request path: "/index.html", "/console.css", "/console.js"
    const char* contentType;
    std::string_view body;
};

// The asset served at path; null when there is none. Defined in the source that the build
// generates from web/page (Embed.cmake).
const WebAsset* FindWebAsset(std::string_view path);
