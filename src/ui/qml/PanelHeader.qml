import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// The panel's header: the song, its key and where it came from, the key grid's button,
// feedback and the link warning. Dragging it moves the panel.
Item {
    id: root
    required property var app
    required property var panel
    required property var hoverTip
    // Asks for the key grid.
    signal pickKey()
    Layout.fillWidth: true
    implicitHeight: header.implicitHeight
    DragHandler {
        target: null
        onActiveChanged: if (active) Window.window.startSystemMove()
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
                onClicked: Window.window.hide()
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
                onClicked: root.pickKey()
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
