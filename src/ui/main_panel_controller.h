#pragma once

#include <QColor>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWindow>

class AccompanimentLoop;
class AppState;
class AutoTunePresence;
class AutoTuneSyncer;
class SongTracker;

// The main panel's decisions, for its QML view: the header and link-line texts, the
// transposition steps, the channel, key and style choices, the update notice and the
// panel's height. Tuning lives in TuningControls, diagnostics in DiagnosticsSaver.
//
// Thread safety: main thread only. Everything passed in must outlive the controller.
class MainPanelController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString songTitle READ songTitle NOTIFY songChanged)
    Q_PROPERTY(QString songSubtitle READ songSubtitle NOTIFY songChanged)
    Q_PROPERTY(QString keyLinkWarningText READ keyLinkWarningText NOTIFY keyLinkWarningTextChanged)
    Q_PROPERTY(QString atStatusText READ atStatusText NOTIFY linkLineChanged)
    Q_PROPERTY(QColor atStatusColor READ atStatusColor NOTIFY linkLineChanged)
    Q_PROPERTY(QStringList allKeys READ allKeys CONSTANT)
    Q_PROPERTY(QStringList types READ types CONSTANT)
    Q_PROPERTY(QString transposeText READ transposeText NOTIFY transposeTextChanged)
    Q_PROPERTY(bool updateVisible READ updateVisible NOTIFY updateChanged)
    Q_PROPERTY(QString updateVersion READ updateVersion NOTIFY updateChanged)
    Q_PROPERTY(bool accompanimentLoopExists READ accompanimentLoopExists NOTIFY accompanimentLoopChanged)
    // "识别引擎": true for "神经网络优先", false for "经典" (the stored "keyDecisionEngine").
    Q_PROPERTY(bool neuralFirst READ neuralFirst WRITE setNeuralFirst NOTIFY neuralFirstChanged)
    Q_PROPERTY(QString decisionEngineTip READ decisionEngineTip CONSTANT)

public:
    static constexpr int kTransposeLimit = 12;

    MainPanelController(AppState& state, SongTracker& tracker, AutoTuneSyncer& syncer,
                        AutoTunePresence& presence, QObject* parent = nullptr);

    // The panel window fitPanelHeight() sizes (not owned; may go away).
    void setPanelWindow(QWindow* window) { m_panel = window; }
    // The loop the channel menus make and remove (not owned; none: the entries do nothing).
    void setAccompanimentLoop(AccompanimentLoop* loop);
    bool accompanimentLoopExists() const;

    QString songTitle() const;
    QString songSubtitle() const;
    QString keyLinkWarningText() const;
    QString atStatusText() const;
    QColor atStatusColor() const;
    QStringList allKeys() const;
    QStringList types() const;
    QString transposeText() const;
    bool updateVisible() const;
    QString updateVersion() const;
    bool neuralFirst() const;
    void setNeuralFirst(bool on);
    QString decisionEngineTip() const;

    Q_INVOKABLE void chooseKey(const QString& key);
    Q_INVOKABLE void sendFeedback();
    Q_INVOKABLE void transposeDown();
    Q_INVOKABLE void transposeUp();
    Q_INVOKABLE void chooseChannel(const QString& uid);
    Q_INVOKABLE void createAccompanimentLoop();
    Q_INVOKABLE void removeAccompanimentLoop();
    Q_INVOKABLE void chooseStyle(const QString& raw);
    Q_INVOKABLE void downloadUpdate();
    // Hides the notice until the program starts again.
    Q_INVOKABLE void ignoreUpdate();
    // Sizes the panel window to its content (see panel_geometry).
    Q_INVOKABLE void fitPanelHeight(double contentHeight);

signals:
    void songChanged();
    void keyLinkWarningTextChanged();
    void linkLineChanged();
    void transposeTextChanged();
    void updateChanged();
    void accompanimentLoopChanged();
    void neuralFirstChanged();

private:
    AppState& m_state;
    SongTracker& m_tracker;
    AutoTuneSyncer& m_syncer;
    AutoTunePresence& m_presence;
    QPointer<QWindow> m_panel;
    QPointer<AccompanimentLoop> m_loop;
    bool m_updateIgnored = false;
};
