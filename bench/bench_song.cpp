// isSameSong over realistic pairs: Chinese, Latin and mixed titles, featured artists,
// version markers and OCR-like noise (dropped, doubled and substituted characters).
#include "core/song.h"

#include <QRandomGenerator>
#include <QStringList>
#include <benchmark/benchmark.h>
#include <vector>

namespace {

const QStringList kTitles = {QStringLiteral("晴天"),
                             QStringLiteral("七里香"),
                             QStringLiteral("稻香"),
                             QStringLiteral("夜曲"),
                             QStringLiteral("后来"),
                             QStringLiteral("十年"),
                             QStringLiteral("小幸运"),
                             QStringLiteral("光年之外"),
                             QStringLiteral("Bohemian Rhapsody"),
                             QStringLiteral("Shape of You"),
                             QStringLiteral("Someone Like You"),
                             QStringLiteral("Let It Go"),
                             QStringLiteral("Hotel California"),
                             QStringLiteral("Perfect"),
                             QStringLiteral("告白气球 (Live)"),
                             QStringLiteral("演员 - 升调版"),
                             QStringLiteral("说散就散（女声版）"),
                             QStringLiteral("Love Story (Taylor's Version)"),
                             QStringLiteral("I Really Want to Stay at Your House"),
                             QStringLiteral("青花瓷 Blue and White Porcelain"),
                             QStringLiteral("起风了 DJ版"),
                             QStringLiteral("Ｓｕｎｎｙ Ｄａｙ")};
const QStringList kArtists = {QStringLiteral("周杰伦"),
                              QStringLiteral("刘若英"),
                              QStringLiteral("田馥甄"),
                              QStringLiteral("邓紫棋"),
                              QStringLiteral("Queen"),
                              QStringLiteral("Ed Sheeran"),
                              QStringLiteral("Adele"),
                              QStringLiteral("周杰伦 feat. 费玉清"),
                              QStringLiteral("Taylor Swift"),
                              QStringLiteral("薛之谦、毛不易"),
                              QStringLiteral("Rosa Walton/Hallie Coggins"),
                              QStringLiteral("买辣椒也用券"),
                              QStringLiteral("Beyoncé"),
                              QStringLiteral("")};

QString noisy(QString text, QRandomGenerator& rng)
{
    const int edits = rng.bounded(0, 3);
    for (int i = 0; i < edits && !text.isEmpty(); ++i) {
        const int at = rng.bounded(static_cast<int>(text.size()));
        switch (rng.bounded(4)) {
        case 0:
            text.remove(at, 1);
            break;
        case 1:
            text.insert(at, text.at(at));
            break;
        case 2:
            text[at] = QChar(u'l');
            break;
        default:
            text += QStringLiteral(" ");
            break;
        }
    }
    return text;
}

std::vector<std::pair<Song, Song>> makePairs(int count)
{
    QRandomGenerator rng(42);
    std::vector<std::pair<Song, Song>> pairs;
    pairs.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const QString title = kTitles[rng.bounded(static_cast<int>(kTitles.size()))];
        const QString artist = kArtists[rng.bounded(static_cast<int>(kArtists.size()))];
        const bool same = rng.bounded(2) == 0;
        const Song a{title, artist};
        const Song b = same ? Song{noisy(title, rng), noisy(artist, rng)}
                            : Song{kTitles[rng.bounded(static_cast<int>(kTitles.size()))],
                                   kArtists[rng.bounded(static_cast<int>(kArtists.size()))]};
        pairs.emplace_back(a, b);
    }
    return pairs;
}

void BM_IsSameSong(benchmark::State& state)
{
    const auto pairs = makePairs(static_cast<int>(state.range(0)));
    int matches = 0;
    for (auto _ : state) {
        for (const auto& [a, b] : pairs)
            matches += Song::isSameSong(a, b) ? 1 : 0;
        benchmark::DoNotOptimize(matches);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pairs.size()));
}
BENCHMARK(BM_IsSameSong)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_IsValid(benchmark::State& state)
{
    const auto pairs = makePairs(4000);
    int valid = 0;
    for (auto _ : state) {
        for (const auto& [a, b] : pairs)
            valid += Song::isValid(b.artist, b.title) ? 1 : 0;
        benchmark::DoNotOptimize(valid);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(pairs.size()));
}
BENCHMARK(BM_IsValid)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
