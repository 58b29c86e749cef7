#pragma once
// What the window tests share: finding a window's controls by name, the
// palette of a dark desktop, and waits that hold on a busy machine.

#include <QApplication>
#include <QColor>
#include <QFont>
#include <QHash>
#include <QImage>
#include <QMessageBox>
#include <QPalette>
#include <QTemporaryDir>
#include <QWidget>
#include <QtGlobal>
#include <QtTest>

#include <algorithm>
#include <cmath>
#include <memory>

// With both cores busy (another build, ctest's other half), an X server and
// a window take many times longer over what an idle machine does at once:
// every wait of these tests is a condition with a generous bound, not Qt's
// default of 5 s. A wait that holds returns as soon as it does.
#undef QTRY_VERIFY
#define QTRY_VERIFY(expr) QTRY_VERIFY_WITH_TIMEOUT((expr), j4::testing::kPatienceMs)
#undef QTRY_COMPARE
#define QTRY_COMPARE(expr, expected)                                                               \
    QTRY_COMPARE_WITH_TIMEOUT((expr), (expected), j4::testing::kPatienceMs)

namespace j4::testing {

inline constexpr int kPatienceMs = 30000;

// The control named `name`; a test without it cannot go on.
template <class T> T* control(const QWidget* window, const char* name) {
    T* widget = window->findChild<T*>(QString::fromLatin1(name));
    if (widget == nullptr)
        qFatal("no %s", name);
    return widget;
}

// A variable of the environment set for a scope: a check that fails on the
// way leaves the next test as it found it.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const QByteArray& value) : name_(name) {
        qputenv(name, value);
    }
    ~ScopedVariable() { qunsetenv(name_); }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
};

// What every window test holds: a folder of its own, the window, and an
// update file's image and path.
template <class Window> struct WindowUnderTest {
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Window> window;
    QByteArray image;
    QString file;

    template <class T> T* find(const char* name) { return control<T>(window.get(), name); }
    // The window's message box on the screen now, if any.
    QMessageBox* visibleBox() const {
        for (auto* box : window->template findChildren<QMessageBox*>())
            if (box->isVisible())
                return box;
        return nullptr;
    }
};

// The best contrast (WCAG) of any colour in `logical` (the window's
// coordinates) against the commonest one there, its background: how well
// the text there reads.
inline double textContrast(const QImage& image, const QRect& logical) {
    // The window's coordinates, in the image's pixels (twice as many at
    // QT_SCALE_FACTOR=2).
    const qreal ratio = image.devicePixelRatio();
    const QRect area =
        QRect(QPoint(qRound(logical.x() * ratio), qRound(logical.y() * ratio)),
              QSize(qRound(logical.width() * ratio), qRound(logical.height() * ratio)))
            .intersected(image.rect());
    const auto luminance = [](QRgb c) {
        const auto channel = [](int v) {
            const double s = v / 255.0;
            return s <= 0.03928 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(qRed(c)) + 0.7152 * channel(qGreen(c)) + 0.0722 * channel(qBlue(c));
    };
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    QRgb background = counts.begin().key();
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (it.value() > counts[background])
            background = it.key();
    double best = 1.0;
    const double lb = luminance(background);
    for (auto it = counts.begin(); it != counts.end(); ++it) {
        const double lt = luminance(it.key());
        best = std::max(best, (std::max(lb, lt) + 0.05) / (std::min(lb, lt) + 0.05));
    }
    return best;
}

// A dark palette as qt6ct's "darker" gives: white text everywhere.
inline QPalette darkDesktopPalette() {
    QPalette dark;
    for (auto role : {QPalette::Window, QPalette::Button, QPalette::Base})
        dark.setColor(role, QColor(0x30, 0x30, 0x30));
    for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
        dark.setColor(role, Qt::white);
    return dark;
}

// The desktop's look for one case: dark, and a font of `points` (0: as it
// is); put back as it was when the case ends, a failed check included.
class DesktopLook {
public:
    explicit DesktopLook(bool dark, int points = 0)
        : palette_(QApplication::palette()), font_(QApplication::font()) {
        if (dark)
            QApplication::setPalette(darkDesktopPalette());
        if (points > 0) {
            QFont large = font_;
            large.setPointSize(points);
            QApplication::setFont(large);
        }
    }
    ~DesktopLook() {
        QApplication::setPalette(palette_);
        QApplication::setFont(font_);
    }
    DesktopLook(const DesktopLook&) = delete;
    DesktopLook& operator=(const DesktopLook&) = delete;

private:
    QPalette palette_;
    QFont font_;
};

} // namespace j4::testing
