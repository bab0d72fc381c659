import QtQuick
import QtQuick.Controls.Basic

// A small round icon button of the island; `tip` explains it in a hover tip.
AbstractButton {
    id: button
    property string iconName
    property string tip
    property var hoverTip: null
    hoverEnabled: true
    implicitWidth: 30
    implicitHeight: 30
    contentItem: Item {
        Icon { name: button.iconName; size: 16; anchors.centerIn: parent }
    }
    background: Rectangle {
        radius: width / 2
        color: button.checked ? Theme.accent : button.hovered ? Theme.line : Theme.cardRaised
        opacity: button.checked ? 0.55 : 1
    }
    onHoveredChanged: {
        if (!hoverTip || tip === "")
            return
        if (hovered)
            hoverTip.schedule(tip)
        else
            hoverTip.hide()
    }
}
