// A stand-in player window for the window recognition tests: a window of a given size whose
// bottom bar shows a song the way Kugou and QQ Music (one line) or NetEase (two lines) do,
// with decoy text left and right of where the song is read. Copied under the players'
// executable names. Commands on stdin, one per line:
//   bar <text>             the one-line bar
//   two <title>|<artist>   the two-line bar
//   raise                  asks the window manager to activate the window
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

namespace {

class PlayerWindow : public QRasterWindow {
public:
    int leftText = 150;
    int barHeight = 100;
    int textSize = 22;
    // Light text on a dark bar, as the players' dark themes draw it.
    bool dark = false;
    QString line;
    QString title;
    QString artist;
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
        p.drawText(QRect(4, bar.top(), leftText - 20, barHeight), Qt::AlignVCenter,
                   QStringLiteral("Decoy Longer - Text"));
        p.drawText(QRect(width() * 78 / 100, bar.top(), width() / 5, barHeight), Qt::AlignVCenter,
                   QStringLiteral("Decoy Longer - Text"));
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
    parser.addOptions({{QStringLiteral("size"), QStringLiteral("WxH"), QStringLiteral("size")},
                       {QStringLiteral("title"), QStringLiteral("window title"), QStringLiteral("title")},
                       {QStringLiteral("left"), QStringLiteral("text start"), QStringLiteral("x")},
                       {QStringLiteral("bar"), QStringLiteral("bar height"), QStringLiteral("h")},
                       {QStringLiteral("text"), QStringLiteral("text size in pixels"), QStringLiteral("px")},
                       {QStringLiteral("dark"), QStringLiteral("light text on a dark bar")}});
    parser.process(app);
    PlayerWindow window;
    const QStringList size = parser.value(QStringLiteral("size")).split(u'x');
    window.resize(size.value(0).toInt(), size.value(1).toInt());
    window.setTitle(parser.value(QStringLiteral("title")));
    if (parser.isSet(QStringLiteral("left")))
        window.leftText = parser.value(QStringLiteral("left")).toInt();
    if (parser.isSet(QStringLiteral("bar")))
        window.barHeight = parser.value(QStringLiteral("bar")).toInt();
    window.dark = parser.isSet(QStringLiteral("dark"));
    if (parser.isSet(QStringLiteral("text")))
        window.textSize = parser.value(QStringLiteral("text")).toInt();

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QByteArray pending;
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            app.quit();
            return;
        }
        pending.append(buffer, n);
        qsizetype end;
        while ((end = pending.indexOf('\n')) >= 0) {
            const QString command = QString::fromUtf8(pending.left(end));
            pending.remove(0, end + 1);
            if (command.startsWith(QStringLiteral("bar "))) {
                window.line = command.mid(4);
            } else if (command.startsWith(QStringLiteral("two "))) {
                window.line.clear();
                window.title = command.mid(4).section(u'|', 0, 0);
                window.artist = command.mid(4).section(u'|', 1);
            } else if (command == QStringLiteral("raise")) {
                window.raise();
                window.requestActivate();
                continue;
            } else if (command == QStringLiteral("minimise")) {
                window.showMinimized();
                continue;
            } else {
                continue;
            }
            ++window.requested;
            window.update();
        }
    });
    window.show();
    return app.exec();
}
