// Saves a PNG of what an X screen shows, cut to the windows on it: `make demo` takes the real
// desktop updater's dialog this way, from outside the program, on a virtual screen whose root
// window is black (Xvfb -br).
//   screen-grab OUT.png     (DISPLAY names the screen)
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <cstdio>

namespace {
// The smallest rectangle that holds every pixel that is not black; empty when none is.
QRect drawnArea(const QImage& image)
{
    QRect area;
    for (int y = 0; y < image.height(); ++y) {
        const QRgb* line = reinterpret_cast<const QRgb*>(image.constScanLine(y));
        for (int x = 0; x < image.width(); ++x) {
            if ((line[x] & 0xffffff) != 0) area |= QRect(x, y, 1, 1);
        }
    }
    return area;
}
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUT.png\n", argv[0]);
        return 2;
    }
    QGuiApplication app(argc, argv);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen) {
        std::fprintf(stderr, "screen-grab: no screen\n");
        return 1;
    }
    const QImage image = screen->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
    if (image.isNull()) {
        std::fprintf(stderr, "screen-grab: the screen could not be read\n");
        return 1;
    }
    const QRect area = drawnArea(image);
    if (area.isEmpty()) {
        // A black screen: no window was drawn on it (a program that never reached this display).
        std::fprintf(stderr, "screen-grab: nothing is drawn on the screen\n");
        return 1;
    }
    if (!image.copy(area).save(QString::fromLocal8Bit(argv[1]), "PNG")) {
        std::fprintf(stderr, "screen-grab: cannot write %s\n", argv[1]);
        return 1;
    }
    std::printf("%dx%d at %d,%d\n", area.width(), area.height(), area.x(), area.y());
    return 0;
}
