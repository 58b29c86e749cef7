#include "update_files.h"

#include <QFile>

namespace j4::testing {

QByteArray makeFrame(int content, std::uint32_t seed) {
    QByteArray frame;
    frame.reserve(content + 2);
    frame.append(static_cast<char>(content >> 8));
    frame.append(static_cast<char>(content & 0xFF));
    for (int i = 0; i < content; ++i) {
        seed = seed * 1664525u + 1013904223u;
        frame.append(static_cast<char>(seed >> 24));
    }
    return frame;
}

QByteArray makeImage(int count, int content, std::uint32_t seed) {
    QByteArray image;
    for (int i = 0; i < count; ++i)
        image += makeFrame(content, seed + static_cast<std::uint32_t>(i));
    return image;
}

QByteArray toUpdateText(const QByteArray& image) {
    static const char digits[] = "0123456789ABCDEF";
    QByteArray text;
    text.reserve(image.size() * 3 + image.size() / 8);
    for (qsizetype i = 0; i < image.size(); ++i) {
        const auto b = static_cast<unsigned char>(image[i]);
        text.append(digits[b >> 4]);
        text.append(digits[b & 15]);
        text.append(i % 16 == 15 ? "\r\n" : " ");
    }
    return text;
}

QString writeUpdateFile(const QString& path, const QByteArray& image) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return {};
    file.write(toUpdateText(image));
    return path;
}

} // namespace j4::testing
