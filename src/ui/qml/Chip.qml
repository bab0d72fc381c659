import QtQuick
import QtQuick.Controls.Basic

// A choice among a few: highlighted while `checked`.
AbstractButton {
    id: chip
    hoverEnabled: true
    implicitHeight: 28
    implicitWidth: label.implicitWidth + 20
    font.family: Theme.fontFamily
    font.pixelSize: Theme.smallSize + 1
    contentItem: Text {
        id: label
        text: chip.text
        color: chip.checked ? Theme.window : Theme.text
        font: chip.font
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
    }
    background: Rectangle {
        radius: height / 2
        color: chip.checked ? Theme.accent : chip.hovered ? Theme.line : Theme.cardRaised
    }
}
