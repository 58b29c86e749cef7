#pragma once
// The live page's own files (HTML, CSS, JavaScript), compiled in: the page
// needs nothing from any other server.

#include <span>

namespace j4::plant {

struct PageFile {
    const char* path;
    const char* type;
    const char* text;
};

std::span<const PageFile> pageFiles();

} // namespace j4::plant
