// Small jobs for the desktop end-to-end script: a home with tool logs, and screen grabs.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>
#include <cstdio>

#include "support/RolloutFixtures.h"

int main(int argc, char** argv) {
    const QByteArray job = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (job == "home" && argc == 3) {
        qm::test::writeSampleHome(QString::fromLocal8Bit(argv[2]));
        return 0;
    }
    if (job == "shot" && (argc == 3 || argc == 7)) {
        QGuiApplication app(argc, argv);
        QScreen* screen = QGuiApplication::primaryScreen();
        QPixmap pixmap = argc == 7 ? screen->grabWindow(0, atoi(argv[3]), atoi(argv[4]),
                                                        atoi(argv[5]), atoi(argv[6]))
                                   : screen->grabWindow(0);
        return pixmap.save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: %s home DIR | shot FILE [X Y W H]\n", argv[0]);
    return 2;
}
