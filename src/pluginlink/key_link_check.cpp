#include "pluginlink/key_link_check.h"

#include "core/atomic_file.h"
#include "core/capped_log.h"
#include "core/number_format.h"
#include "core/resource_bundle.h"
#include "platform/audio_component_lookup.h"
#include "pluginlink/plugin_files.h"
#include "pluginlink/plugin_ipc.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLocale>
#include <QStringDecoder>

std::atomic<bool> KeyLinkCheck::started{false};

namespace {

const QString kPrefix = QStringLiteral("联动自检：");

// A four-character code as the component lookup takes it; anything else counts as 0.
QString fourCharCode(const QString& code)
{
    return code.toUtf8().size() == 4 ? code : QString();
}

QString decodeUtf8OrEmpty(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    return decoder.hasError() ? QString() : text;
}

// A kept tail may begin inside a character; that is not the tool's fault.
QByteArray fromCharacterStart(const QByteArray& bytes)
{
    qsizetype i = 0;
    while (i < bytes.size() && i < 3 && (static_cast<uchar>(bytes[i]) & 0xC0) == 0x80)
        ++i;
    return bytes.mid(i);
}

QStringList namesOf(const std::vector<const KeyLinkCheck::Plan*>& plans)
{
    QStringList names;
    for (const auto* plan : plans)
        names.append(plan->name);
    return names;
}

} // namespace

KeyLinkCheck::Config KeyLinkCheck::Config::defaults()
{
    Config config;
    if (const auto dir = findResourceDir()) {
        const QString tool = *dir + QStringLiteral("/keycheck");
        if (QFile::exists(tool))
            config.tool = tool;
    }
    config.lookup = platform::defaultAudioComponentLookup();
    config.linkDir = PluginIPC::dir();
    config.limits.timeLimit = kToolLimit;
    return config;
}

const std::vector<KeyLinkCheck::Plan>& KeyLinkCheck::plans()
{
    static const std::vector<Plan> table = {
        {QStringLiteral("Auto-Tune Pro"),
         QStringLiteral("aumf"),
         QStringLiteral("AT81"),
         QStringLiteral("VST "),
         2,
         0,
         10.0 / 11.0,
         162,
         0,
         1.0 / 14.0,
         2.0 / 14.0,
         {}},
        {QStringLiteral("AutoTune Advanced"),
         QStringLiteral("aumf"),
         QStringLiteral("Advn"),
         QStringLiteral("Antr"),
         3411919,
         0,
         10,
         1138679482,
         0,
         1,
         2,
         {}},
        {QStringLiteral("AutoTune 2026"),
         QStringLiteral("aufx"),
         QStringLiteral("Core"),
         QStringLiteral("Antr"),
         3411919,
         0,
         10,
         1138679482,
         0,
         1,
         2,
         {}},
        {QStringLiteral("Auto-Tune Artist"),
         QStringLiteral("aumf"),
         QStringLiteral("ATxL"),
         QStringLiteral("VST "),
         1,
         0,
         10.0 / 11.0,
         2,
         1.0 / 14.0,
         0,
         1.0 / 28.0,
         {QStringLiteral("8:0")}},
        {QStringLiteral("Auto-Tune EFX+"),
         QStringLiteral("aufx"),
         QStringLiteral("Vefx"),
         QStringLiteral("Antr"),
         6,
         0,
         10.0 / 11.0,
         7,
         1,
         0,
         0.5,
         {QStringLiteral("8:0")}},
    };
    return table;
}

QStringList KeyLinkCheck::arguments(const Plan& plan)
{
    auto number = [](double v) { return number_format::fixedText(v, 8); };
    QStringList args = {
        QStringLiteral("run"),       plan.type,          plan.subtype,       plan.manu,
        QString::number(plan.keyID), number(plan.keyC),  number(plan.keyBb), QString::number(plan.scaleID),
        number(plan.chromatic),      number(plan.major), number(plan.minor)};
    args.append(plan.extra);
    return args;
}

KeyLinkCheck::Outcome KeyLinkCheck::outcomeOf(const platform::ToolRun& run)
{
    Outcome outcome;
    switch (run.end) {
    case platform::ToolRun::End::exited:
        if (run.exitCode == 3) {
            outcome.kind = Outcome::Kind::notInstalled;
            return outcome;
        }
        outcome.kind = Outcome::Kind::exited;
        outcome.code = run.exitCode;
        outcome.output = decodeUtf8OrEmpty(run.outputTruncated ? fromCharacterStart(run.output) : run.output);
        return outcome;
    case platform::ToolRun::End::signalled:
        outcome.message = QStringLiteral("被信号 %1 结束").arg(run.exitCode);
        return outcome;
    case platform::ToolRun::End::notStarted:
        outcome.message = run.error;
        return outcome;
    case platform::ToolRun::End::timedOut:
        outcome.message = QStringLiteral("超时");
        return outcome;
    case platform::ToolRun::End::stopped:
        outcome.message = QStringLiteral("已停止");
        return outcome;
    }
    return outcome;
}

KeyLinkCheck::KeyLinkCheck(Config config, QObject* parent) : QObject(parent), m_config(std::move(config))
{
    m_queue.setMaxThreadCount(1);
    m_queue.setExpiryTimeout(-1);
    m_queue.setObjectName(QStringLiteral("KeyLinkCheck"));
}

KeyLinkCheck::~KeyLinkCheck()
{
    m_stop.request_stop();
    m_queue.waitForDone();
}

void KeyLinkCheck::checkAndPublish(std::function<void(std::optional<QString>)> publish)
{
    m_queue.start([this, publish = std::move(publish)] {
        const std::optional<QString> warning = selectAndVerify();
        if (warning)
            logToFile(QStringLiteral("结论：") + *warning);
        if (m_stop.stop_requested())
            return;
        QMetaObject::invokeMethod(
            this, [publish, warning] { publish(warning); }, Qt::QueuedConnection);
    });
}

KeyLinkCheck::Outcome KeyLinkCheck::run(const QString& tool, const QStringList& args)
{
    return outcomeOf(platform::runTool(tool, args, m_config.limits, m_stop.get_token()));
}

KeyLinkCheck::Verdict KeyLinkCheck::verify(const Plan& plan, const QString& tool)
{
    const QStringList args = arguments(plan);
    for (int attempt = 1; attempt <= 2; ++attempt) {
        const Outcome outcome = run(tool, args);
        const bool last = attempt == 2;
        switch (outcome.kind) {
        case Outcome::Kind::notInstalled:
            return {Verdict::Kind::inconclusive, QStringLiteral("（工具说这个版本没装）")};
        case Outcome::Kind::failed:
            if (last || m_stop.stop_requested())
                return {Verdict::Kind::inconclusive, outcome.message};
            logToFile(kPrefix + plan.name + QStringLiteral(" 第 1 次没跑起来（") + outcome.message +
                      QStringLiteral("），再试一次…"));
            break;
        case Outcome::Kind::exited:
            if (outcome.code == 0) {
                logToFile(kPrefix + plan.name + QStringLiteral(" ✅ 调式生效") +
                          (last ? QStringLiteral("（重试后）") : QString()));
                return {Verdict::Kind::passed, {}};
            }
            if (outcome.code == 1) {
                if (last)
                    return {Verdict::Kind::wrong, outcome.output};
                logToFile(kPrefix + plan.name + QStringLiteral(" 第 1 次不对，再测一次…"));
                break;
            }
            if (last)
                return {Verdict::Kind::inconclusive,
                        QStringLiteral("退出码 %1\n").arg(outcome.code) + outcome.output};
            logToFile(kPrefix + plan.name +
                      QStringLiteral(" 第 1 次没测到有效音频（退出码 %1），再测一次…").arg(outcome.code));
            break;
        }
    }
    return {Verdict::Kind::inconclusive, {}}; // not reached: attempt 2 always returns
}

bool KeyLinkCheck::isInstalled(const Plan& plan) const
{
    if (!m_config.lookup)
        return false;
    const platform::AudioComponentDescription description{
        plan.name, fourCharCode(plan.type), fourCharCode(plan.subtype), fourCharCode(plan.manu)};
    return !m_config.lookup->find(description).empty();
}

std::optional<QString> KeyLinkCheck::selectAndVerify()
{
    if (!m_config.tool) {
        logToFile(kPrefix + QStringLiteral("App 里没带 keycheck 工具，跳过"));
        return std::nullopt;
    }
    std::vector<const Plan*> installed;
    for (const Plan& plan : plans()) {
        if (isInstalled(plan))
            installed.push_back(&plan);
    }
    if (installed.empty()) {
        logToFile(kPrefix + QStringLiteral("本机没装 Auto-Tune，跳过"));
        return std::nullopt;
    }

    const std::optional<QString> preference = savedPreference();
    auto installedNamed = [&](const std::optional<QString>& name) -> const Plan* {
        if (!name)
            return nullptr;
        for (const Plan* plan : installed) {
            if (plan->name == *name)
                return plan;
        }
        return nullptr;
    };
    const Plan* first = installedNamed(inUseVariantName());
    if (!first)
        first = installedNamed(preference);
    std::vector<const Plan*> order;
    if (first)
        order.push_back(first);
    for (const Plan* plan : installed) {
        if (plan != first)
            order.push_back(plan);
    }

    logToFile(kPrefix + QStringLiteral("本机装了 ") + namesOf(installed).join(QStringLiteral("、")) +
              QStringLiteral("；按顺序验 ") + namesOf(order).join(QStringLiteral(" → ")));

    for (size_t i = 0; i < order.size(); ++i) {
        const Plan& plan = *order[i];
        const Verdict verdict = verify(plan, *m_config.tool);
        switch (verdict.kind) {
        case Verdict::Kind::inconclusive:
            logToFile(kPrefix + plan.name + QStringLiteral(" 本次没测到有效音频，不下结论（不是故障）"));
            if (!verdict.text.isEmpty())
                logToFile(verdict.text);
            return std::nullopt;
        case Verdict::Kind::wrong:
            logToFile(kPrefix + plan.name +
                      QStringLiteral(" 判定为不好用（连续两次都测到有效音频、结果都不对）"));
            if (!verdict.text.isEmpty())
                logToFile(verdict.text);
            break;
        case Verdict::Kind::passed:
            if (i == 0) {
                if (preference)
                    savePreference(std::nullopt);
                return std::nullopt;
            }
            if (preference != plan.name)
                savePreference(plan.name);
            return QStringLiteral("排在前面的 Auto-Tune 这台电脑上不好用，已自动改用 ") + plan.name +
                   QStringLiteral("（把插件删掉重插一次即可生效）");
        }
    }
    return QStringLiteral("本机装的 Auto-Tune 都测不过（") + namesOf(installed).join(QStringLiteral("、")) +
           QStringLiteral("），请联系我们");
}

QString KeyLinkCheck::filePath(const char* name) const
{
    return m_config.linkDir + QLatin1Char('/') + QLatin1String(name);
}

std::optional<QString> KeyLinkCheck::savedPreference() const
{
    const auto text = plugin_files::readUtf8File(filePath(PluginIPC::kPreferVariantFile));
    if (!text)
        return std::nullopt;
    QString name = *text;
    // Spaces and line ends around the name, as the plug-in may have written them.
    while (!name.isEmpty() && (name.front() == u' ' || name.front() == u'\n' || name.front() == u'\r'))
        name.remove(0, 1);
    while (!name.isEmpty() && (name.back() == u' ' || name.back() == u'\n' || name.back() == u'\r'))
        name.chop(1);
    return name.isEmpty() ? std::nullopt : std::optional<QString>(name);
}

void KeyLinkCheck::savePreference(const std::optional<QString>& name)
{
    const QString path = filePath(PluginIPC::kPreferVariantFile);
    if (!name) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(m_config.linkDir);
    replaceFileAtomically(path, name->toUtf8());
}

std::optional<QString> KeyLinkCheck::inUseVariantName() const
{
    const QString path = filePath(PluginIPC::kAliveFile);
    const auto age = plugin_files::fileAge(path);
    if (!age || !plugin_files::isFresh(*age))
        return std::nullopt;
    const auto text = plugin_files::readUtf8File(path);
    if (!text)
        return std::nullopt;
    const QStringList variants = plugin_files::variantValues(*text);
    if (variants.isEmpty() || variants.front() == QLatin1String("none"))
        return std::nullopt;
    return variants.front();
}

void KeyLinkCheck::logToFile(const QString& text)
{
    QDir().mkpath(m_config.linkDir);
    const QLocale locale = QLocale::system();
    const QDateTime now = QDateTime::currentDateTime();
    const QString stamp = locale.toString(now.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                          locale.toString(now.time(), QStringLiteral("HH:mm:ss"));
    capped_log::appendLine(filePath(PluginIPC::kKeyLinkCheckLogFile), stamp + QLatin1Char(' ') + text);
}
