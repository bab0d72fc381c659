import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The island's main page: the song and its key, the presets, transposition, settings.
Item {
    id: page
    required property var island
    readonly property var app: island.app

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 22
        anchors.rightMargin: 22
        anchors.topMargin: 14
        anchors.bottomMargin: 22
        // The rows share the card's height evenly.
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Icon { name: "wave"; size: 20 }
            Marquee {
                objectName: "songLine"
                text: page.island.panel.songTitle
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize + 2
                font.weight: Font.DemiBold
                running: page.island.open && page.visible
                Layout.fillWidth: true
            }
            Text {
                text: page.island.keyLine
                color: Theme.accent
                font.family: Theme.fontFamily
                font.pixelSize: Theme.titleSize + 2
                font.weight: Font.Bold
                Layout.maximumWidth: 200
                elide: Text.ElideRight
            }
            IslandIconButton {
                objectName: "pin"
                iconName: "pin"
                checked: page.island.visibility.pinned
                tip: "固定，不自动收起"
                hoverTip: page.island.hoverTip
                onClicked: page.island.visibility.togglePin()
            }
            IslandIconButton {
                iconName: "arrows-expand"
                tip: "打开主面板"
                hoverTip: page.island.hoverTip
                onClicked: page.island.openMainPanelRequested()
            }
        }

        Item { Layout.fillHeight: true }
        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            Repeater {
                model: [
                    { name: "default", label: "默认" },
                    { name: "electric", label: "电音" },
                    { name: "natural", label: "自然" },
                    { name: "common", label: "常用" },
                    { name: "custom", label: "我的" }
                ]
                Chip {
                    required property var modelData
                    objectName: "preset_" + modelData.name
                    visible: modelData.name !== "custom" || page.app.hasCustomPreset
                    text: modelData.label
                    checked: page.app.preset === modelData.name
                    implicitHeight: 34
                    font.pixelSize: Theme.bodySize
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    onClicked: page.island.tuning.tapPresetCard(modelData.name)
                }
            }
        }

        Item { Layout.fillHeight: true }
        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            Text {
                text: "升降调"
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize + 1
            }
            CircleButton {
                objectName: "transposeDown"
                iconName: "minus"
                enabled: page.app.transpose > -12
                onClicked: page.island.panel.transposeDown()
            }
            Text {
                text: page.island.panel.transposeText
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.titleSize
                font.weight: Font.DemiBold
                horizontalAlignment: Text.AlignHCenter
                Layout.preferredWidth: 40
            }
            CircleButton {
                objectName: "transposeUp"
                iconName: "plus"
                enabled: page.app.transpose < 12
                onClicked: page.island.panel.transposeUp()
            }
            Item { Layout.fillWidth: true }
            PillButton {
                objectName: "settings"
                text: "设置"
                iconName: "gear"
                onClicked: page.island.visibility.openSettings()
            }
        }
    }
}
