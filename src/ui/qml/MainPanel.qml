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
            Item {
                Layout.fillWidth: true
                implicitHeight: header.implicitHeight
                DragHandler {
                    target: null
                    onActiveChanged: if (active) root.startSystemMove()
                }
                ColumnLayout {
                    id: header
                    width: parent.width
                    spacing: 3
                    RowLayout {
                        Layout.fillWidth: true
                        Icon { name: "wave"; size: 18 }
                        Text {
                            text: root.panel.songTitle
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.titleSize
                            font.weight: Font.DemiBold
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        AbstractButton {
                            implicitWidth: 26
                            implicitHeight: 26
                            hoverEnabled: true
                            onClicked: root.hide()
                            contentItem: Item { Icon { name: "close"; size: 14; anchors.centerIn: parent } }
                            background: Rectangle { radius: 13; color: parent.hovered ? Theme.line : "transparent" }
                        }
                    }
                    Text {
                        text: root.panel.songSubtitle
                        visible: text !== ""
                        color: Theme.textDim
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.bodySize
                        elide: Text.ElideRight
                        Layout.fillWidth: true
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        Layout.topMargin: 2
                        Text {
                            text: root.app.displayKey
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.keySize
                            font.weight: Font.Bold
                            elide: Text.ElideRight
                            Layout.fillWidth: true
                        }
                        Rectangle {
                            width: 8
                            height: 8
                            radius: 4
                            color: root.app.syncColor
                        }
                        Text {
                            text: root.app.syncText
                            color: root.app.syncColor
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.smallSize + 1
                        }
                    }
                    Text {
                        text: root.app.keyDetail
                        visible: text !== ""
                        color: Theme.textDim
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.smallSize + 1
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    RowLayout {
                        Layout.topMargin: 4
                        spacing: 8
                        PillButton {
                            id: keyButton
                            text: "改调"
                            iconName: "music-note"
                            onClicked: keyPopup.open()
                        }
                        PillButton {
                            text: "调不对？反馈"
                            iconName: "flag"
                            hoverTip: root.hoverTip
                            tip: "告诉我们这首歌的调不对"
                            onClicked: root.panel.sendFeedback()
                        }
                    }
                    Text {
                        text: root.panel.keyLinkWarningText
                        visible: text !== ""
                        color: Theme.warn
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.smallSize + 1
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                }
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
            Rectangle {
                Layout.fillWidth: true
                implicitHeight: tuningColumn.implicitHeight + 20
                radius: Theme.radius
                color: Theme.card
                ColumnLayout {
                    id: tuningColumn
                    x: 14
                    y: 10
                    width: parent.width - 28
                    spacing: 6
                    Text {
                        text: "电音强度"
                        color: Theme.text
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.bodySize
                        font.weight: Font.DemiBold
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        spacing: 8
                        Text {
                            text: "自然"
                            color: Theme.textDim
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.smallSize
                        }
                        Slider {
                            id: intensity
                            from: 0
                            to: 1
                            value: root.app.retune
                            Layout.fillWidth: true
                            onMoved: root.app.retune = value
                            onPressedChanged: {
                                if (pressed) {
                                    if (root.hoverTip)
                                        root.hoverTip.hide()
                                    root.tuning.beginIntensityDrag()
                                } else {
                                    root.tuning.endIntensityDrag()
                                }
                            }
                        }
                        Text {
                            text: "电"
                            color: Theme.textDim
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.smallSize
                        }
                    }
                    Text {
                        text: "往右调：修音又快又狠，声音很“电”\n往左调：修音变慢，声音接近原声"
                        color: Theme.textDim
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.smallSize
                        lineHeight: 1.2
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    Flow {
                        Layout.fillWidth: true
                        Layout.topMargin: 4
                        spacing: 6
                        Repeater {
                            model: root.panel.types
                            Chip {
                                required property string modelData
                                required property int index
                                text: modelData
                                checked: root.app.typeIndex === index
                                onClicked: root.tuning.pickInputType(index)
                            }
                        }
                    }
                    AbstractButton {
                        id: moreToggle
                        checkable: true
                        Layout.fillWidth: true
                        implicitHeight: 22
                        contentItem: Row {
                            spacing: 4
                            Text {
                                text: "更多"
                                color: Theme.accent
                                font.family: Theme.fontFamily
                                font.pixelSize: Theme.smallSize + 1
                                anchors.verticalCenter: parent.verticalCenter
                            }
                            Icon {
                                name: "chevron-down"
                                size: 14
                                rotation: moreToggle.checked ? 180 : 0
                                anchors.verticalCenter: parent.verticalCenter
                            }
                        }
                        background: Item {}
                    }
                    ColumnLayout {
                        visible: moreToggle.checked
                        Layout.fillWidth: true
                        spacing: 2
                        LabeledSlider { label: "自然度"; value: root.tuning.humanize; onMoved: v => root.tuning.humanize = v; Layout.fillWidth: true }
                        LabeledSlider { label: "颤音幅度"; value: root.tuning.vibratoAmplitude; onMoved: v => root.tuning.vibratoAmplitude = v; Layout.fillWidth: true }
                        LabeledSlider { label: "音高灵活"; value: root.tuning.flexTune; onMoved: v => root.tuning.flexTune = v; Layout.fillWidth: true }
                        LabeledSlider { label: "自然颤音"; value: root.tuning.naturalVibrato; onMoved: v => root.tuning.naturalVibrato = v; Layout.fillWidth: true }
                        LabeledSlider { label: "跟踪"; value: root.tuning.tracking; onMoved: v => root.tuning.tracking = v; Layout.fillWidth: true }
                        LabeledSlider { label: "喉部长度"; value: root.tuning.throat; onMoved: v => root.tuning.throat = v; Layout.fillWidth: true }
                        LabeledSlider { label: "干湿比"; value: root.tuning.wetDry; onMoved: v => root.tuning.wetDry = v; Layout.fillWidth: true }
                        RowLayout {
                            Layout.fillWidth: true
                            Chip {
                                text: "共振峰校正"
                                checkable: true
                                checked: root.tuning.formant >= 0.5
                                onToggled: root.tuning.formant = checked ? 1.0 : 0.0
                            }
                            Chip {
                                text: "经典模式"
                                checkable: true
                                checked: root.tuning.classicMode
                                onToggled: root.tuning.classicMode = checked
                            }
                        }
                    }
                }
            }

            // 5. Accompaniment: transposition and the input channel.
            SectionTitle { text: "伴奏" }
            Rectangle {
                Layout.fillWidth: true
                implicitHeight: accompaniment.implicitHeight + 20
                radius: Theme.radius
                color: Theme.card
                ColumnLayout {
                    id: accompaniment
                    x: 14
                    y: 10
                    width: parent.width - 28
                    spacing: 6
                    RowLayout {
                        objectName: "transposeRow"
                        Layout.fillWidth: true
                        Text {
                            text: "升降调"
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.bodySize
                            Layout.fillWidth: true
                        }
                        CircleButton {
                            objectName: "transposeDown"
                            iconName: "minus"
                            enabled: root.app.transpose > -12
                            onClicked: root.panel.transposeDown()
                        }
                        Text {
                            text: root.panel.transposeText
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.titleSize
                            font.weight: Font.DemiBold
                            horizontalAlignment: Text.AlignHCenter
                            Layout.preferredWidth: 44
                        }
                        CircleButton {
                            objectName: "transposeUp"
                            iconName: "plus"
                            enabled: root.app.transpose < 12
                            onClicked: root.panel.transposeUp()
                        }
                    }
                    RowLayout {
                        Layout.fillWidth: true
                        Text {
                            text: "输入通道"
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.bodySize
                            Layout.fillWidth: true
                        }
                        PillButton {
                            text: root.app.channelName !== "" ? root.app.channelName : "选择…"
                            Layout.maximumWidth: 220
                            onClicked: channelMenu.popup()
                            Menu {
                                id: channelMenu
                                Instantiator {
                                    model: root.app.channels
                                    delegate: MenuItem {
                                        required property var modelData
                                        text: modelData.name
                                        onTriggered: root.panel.chooseChannel(modelData.uid)
                                    }
                                    onObjectAdded: (index, object) => channelMenu.insertItem(index, object)
                                    onObjectRemoved: (index, object) => channelMenu.removeItem(object)
                                }
                            }
                        }
                    }
                    Text {
                        text: root.app.channelStatus
                        color: Theme.textDim
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.smallSize
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                }
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
