import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// The main panel: the song and its key, the plug-in link, presets, tuning, accompaniment,
// the bar style, diagnostics and the update notice. Layout only; decisions live in the
// controllers bound below.
Window {
    id: root
    required property var app
    required property var panel
    required property var tuning
    required property var diagnostics
    required property var hoverTip

    width: 420
    height: 720
    visible: false
    color: "transparent"
    title: "Melodrix 声友"

    readonly property int margin: 18

    // Closed means hidden: the panel lives for the whole run.
    onClosing: close => {
        close.accepted = false
        root.hide()
    }

    Rectangle {
        id: frame
        anchors.fill: parent
        radius: 18
        color: Theme.window
        border.color: Theme.line
        border.width: 1
    }

    Shortcut {
        sequence: "Escape"
        onActivated: root.hide()
    }

    Flickable {
        id: scroller
        anchors.fill: parent
        anchors.margins: 1
        clip: true
        contentWidth: width
        contentHeight: content.implicitHeight + 2 * root.margin
        boundsBehavior: Flickable.StopAtBounds
        interactive: contentHeight > height
        ScrollBar.vertical: ScrollBar { policy: scroller.interactive ? ScrollBar.AsNeeded : ScrollBar.AlwaysOff }

        ColumnLayout {
            id: content
            x: root.margin
            y: root.margin
            width: scroller.width - 2 * root.margin
            spacing: 10
            onImplicitHeightChanged: root.panel.fitPanelHeight(implicitHeight + 2 * root.margin)

            // 1. Header: song, key, sync, key menu, feedback, link warning.
            PanelHeader {
                app: root.app
                panel: root.panel
                hoverTip: root.hoverTip
                Layout.fillWidth: true
                onPickKey: keyPopup.open()
            }

            // 2. The plug-in link line.
            Rectangle {
                Layout.fillWidth: true
                implicitHeight: 32
                radius: 10
                color: Theme.card
                Row {
                    anchors.verticalCenter: parent.verticalCenter
                    x: 12
                    spacing: 8
                    Rectangle {
                        width: 8
                        height: 8
                        radius: 4
                        color: root.panel.atStatusColor
                        anchors.verticalCenter: parent.verticalCenter
                    }
                    Text {
                        text: root.panel.atStatusText
                        color: root.panel.atStatusColor
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.smallSize + 1
                    }
                }
            }

            // 3. Presets.
            SectionTitle { text: "预设" }
            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                Repeater {
                    model: [
                        { name: "default", label: "默认", icon: "arrow-counterclockwise" },
                        { name: "electric", label: "电音", icon: "bolt" },
                        { name: "natural", label: "自然", icon: "leaf" },
                        { name: "common", label: "常用", icon: "star" },
                        { name: "custom", label: "我的", icon: "person" }
                    ]
                    PresetCard {
                        required property var modelData
                        visible: modelData.name !== "custom" || root.app.hasCustomPreset
                        text: modelData.label
                        iconName: modelData.icon
                        selected: root.app.preset === modelData.name
                        Layout.fillWidth: true
                        Layout.preferredWidth: 1
                        onClicked: root.tuning.tapPresetCard(modelData.name)
                    }
                }
            }

            // 4. Tuning.
            SectionTitle { text: "调音" }
            TuningCard {
                app: root.app
                panel: root.panel
                tuning: root.tuning
                hoverTip: root.hoverTip
                Layout.fillWidth: true
            }

            // 5. Accompaniment: transposition and the input channel.
            SectionTitle { text: "伴奏" }
            AccompanimentCard {
                app: root.app
                panel: root.panel
                Layout.fillWidth: true
            }

            // 6. The floating bar's style.
            RowLayout {
                Layout.fillWidth: true
                spacing: 8
                SectionTitle { text: "悬浮条"; Layout.fillWidth: true }
                Chip {
                    text: "刘海"
                    checked: root.app.floatingBarStyle === "notch"
                    onClicked: root.panel.chooseStyle("notch")
                }
                Chip {
                    text: "胶囊"
                    checked: root.app.floatingBarStyle === "capsule"
                    onClicked: root.panel.chooseStyle("capsule")
                }
            }

            // 7. Diagnostics.
            ColumnLayout {
                Layout.fillWidth: true
                spacing: 6
                RowLayout {
                    spacing: 8
                    PillButton {
                        text: "导出诊断信息"
                        enabled: !root.diagnostics.working
                        onClicked: root.diagnostics.exportDiagnostics()
                    }
                    PillButton {
                        text: "在文件管理器中显示"
                        visible: root.diagnostics.diagFileURL.toString() !== ""
                        onClicked: root.diagnostics.revealDiagnostics()
                    }
                }
                Text {
                    text: root.diagnostics.diagMessage
                    visible: text !== ""
                    color: Theme.textDim
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.smallSize
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }

            // 8. The update notice.
            Rectangle {
                visible: root.panel.updateVisible
                Layout.fillWidth: true
                implicitHeight: 48
                radius: Theme.radius
                color: Theme.cardRaised
                RowLayout {
                    anchors.fill: parent
                    anchors.leftMargin: 14
                    anchors.rightMargin: 8
                    spacing: 8
                    Text {
                        text: "发现新版本 " + root.panel.updateVersion
                        color: Theme.text
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.bodySize
                        Layout.fillWidth: true
                    }
                    PillButton { text: "下载"; tint: Theme.accent; onClicked: root.panel.downloadUpdate() }
                    PillButton { text: "忽略"; onClicked: root.panel.ignoreUpdate() }
                }
            }
        }
    }

    // "改调": the 24 keys, majors then minors, in a grid.
    Popup {
        id: keyPopup
        x: root.margin
        y: root.margin + 120
        width: root.width - 2 * root.margin
        padding: 10
        modal: true
        focus: true
        background: Rectangle { radius: Theme.radius; color: Theme.cardRaised; border.color: Theme.line }
        contentItem: GridLayout {
            columns: 4
            rowSpacing: 6
            columnSpacing: 6
            Repeater {
                model: root.panel.allKeys
                Chip {
                    required property string modelData
                    text: modelData
                    checked: root.app.keyText === modelData
                    Layout.fillWidth: true
                    onClicked: {
                        keyPopup.close()
                        root.panel.chooseKey(modelData)
                    }
                }
            }
        }
    }
}
