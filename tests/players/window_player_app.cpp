// A stand-in player window for the window recognition tests: a window of a given size whose
// bottom bar shows a song the way Kugou and QQ Music (one line) or NetEase (two lines) do,
// with decoy text left and right of where the song is read. Copied under the players'
// executable names. Commands on stdin, one per line:
//   bar <text>             the one-line bar
//   two <title>|<artist>   the two-line bar
//   minimise               asks the window manager to iconify the window
// Drawing commands are numbered from 1; after a repaint has reached the server the helper
// prints "drawn <n>", n being the last command that repaint shows.
#include <QCommandLineParser>
#include <QFont>
#include <QGuiApplication>
#include <QPainter>
#include <QRasterWindow>
#include <QScreen>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

class PlayerWindow : public QRasterWindow {
public:
    int leftText = 150;
    int barHeight = 100;
    const int textSize = 22;
    // Light text on a dark bar, as the players' dark themes draw it.
    bool dark = false;
    QString line, title, artist;
    // The last drawing command received.
    int requested = 0;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(QRect(0, 0, width(), height()), QColor(250, 250, 250));
        const QRect bar(0, height() - barHeight, width(), barHeight);
        p.fillRect(bar, dark ? QColor(28, 28, 32) : QColor(236, 236, 236));
        QFont font(QStringLiteral("Noto Sans CJK SC"));
        font.setPixelSize(textSize);
        p.setFont(font);
        p.setPen(dark ? QColor(235, 235, 235) : QColor(Qt::black));
        // Decoys outside the read strip on both sides, with a longer title than the song's.
        QFont small = font;
        small.setPixelSize(13);
        p.setFont(small);
        for (const QRect& decoy : {QRect(4, bar.top(), leftText - 20, barHeight),
                                   QRect(width() * 78 / 100, bar.top(), width() / 5, barHeight)})
            p.drawText(decoy, Qt::AlignVCenter, u"Decoy Longer - Text"_s);
        p.setFont(font);
        if (!line.isEmpty()) {
            p.drawText(QRect(leftText, bar.top(), width() * 3 / 4 - leftText - 10, barHeight),
                       Qt::AlignVCenter, line);
        } else {
            p.drawText(QPoint(leftText, bar.top() + 32), title);
            font.setPixelSize(15);
            p.setFont(font);
            p.setPen(dark ? QColor(160, 160, 160) : QColor(80, 80, 80));
            p.drawText(QPoint(leftText, bar.top() + 58), artist);
        }
        p.end();
        // What this paint shows, taken now: a command read before the report below is not in it.
        const int shown = requested;
        QTimer::singleShot(0, this, [this, shown] {
            // The backing store is flushed once paintEvent returns; a grab of our own window is
            // then a round trip behind the flush, so the server holds the new pixels.
            screen()->grabWindow(winId(), 0, 0, 1, 1);
            std::printf("drawn %d\n", shown);
            std::fflush(stdout);
        });
    }
};

} // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    QCommandLineParser parser;
    parser.addOptions({{u"size"_s, u"WxH"_s, u"size"_s},
                       {u"title"_s, u"window title"_s, u"title"_s},
                       {u"left"_s, u"text start"_s, u"x"_s},
                       {u"bar"_s, u"bar height"_s, u"h"_s},
                       {u"dark"_s, u"light text on a dark bar"_s}});
    parser.process(app);
    PlayerWindow window;
    const QStringList size = parser.value(u"size"_s).split(u'x');
    window.resize(size.value(0).toInt(), size.value(1).toInt());
    window.setTitle(parser.value(u"title"_s));
    const auto number = [&](const QString& name, int& value) {
        if (parser.isSet(name))
            value = parser.value(name).toInt();
    };
    number(u"left"_s, window.leftText);
    number(u"bar"_s, window.barHeight);
    window.dark = parser.isSet(u"dark"_s);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0)
            return app.quit();
        pending.append(buffer, n);
        for (qsizetype end; (end = pending.indexOf('\n')) >= 0;) {
            const QString command = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (command == u"minimise"_s) {
                window.showMinimized();
            } else if (command.startsWith(u"bar "_s) || command.startsWith(u"two "_s)) {
                window.line = command.startsWith(u"bar "_s) ? command.mid(4) : QString();
                window.title = command.mid(4).section(u'|', 0, 0);
                window.artist = command.mid(4).section(u'|', 1);
                ++window.requested;
                window.update();
            }
        }
    });
    window.show();
    return app.exec();
}
