import QtQuick
import QtQuick.Controls.Basic

// A preset: icon over its name, outlined while selected.
AbstractButton {
    id: card
    property string iconName
    property bool selected: false
    hoverEnabled: true
    implicitHeight: 54
    contentItem: Column {
        spacing: 3
        topPadding: 8
        Icon {
            name: card.iconName
            size: 18
            anchors.horizontalCenter: parent.horizontalCenter
        }
        Text {
            text: card.text
            color: Theme.text
            font.family: Theme.fontFamily
            font.pixelSize: Theme.bodySize
            anchors.horizontalCenter: parent.horizontalCenter
        }
    }
    background: Rectangle {
        radius: 12
        color: card.hovered ? Theme.line : Theme.cardRaised
        border.width: card.selected ? 2 : 0
        border.color: Theme.accent
    }
}
