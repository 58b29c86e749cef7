#pragma once
// Update files for tests, made from the image they should decode to.

#include <QByteArray>
#include <QString>

#include <cstdint>

namespace j4::testing {

// A frame: length high, length low, then `content` bytes from `seed`.
QByteArray makeFrame(int content, std::uint32_t seed);
// Frames of `content` bytes each, `count` of them.
QByteArray makeImage(int count, int content, std::uint32_t seed = 1);
// The image as .j4u text: "XX XX ..." with CRLF every 16 values.
QByteArray toUpdateText(const QByteArray& image);
// Writes the text to `path`; returns `path`.
QString writeUpdateFile(const QString& path, const QByteArray& image);

} // namespace j4::testing
