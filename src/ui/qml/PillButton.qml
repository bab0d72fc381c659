import QtQuick
import QtQuick.Controls.Basic

// A text button with an optional icon; `tip` explains it in a hover tip.
Button {
    id: control
    property string iconName
    property color tint: Theme.cardRaised
    property string tip
    property var hoverTip: null
    hoverEnabled: true
    leftPadding: 12
    rightPadding: 12
    topPadding: 7
    bottomPadding: 7
    font.family: Theme.fontFamily
    font.pixelSize: Theme.bodySize
    contentItem: Row {
        spacing: 6
        Icon {
            name: control.iconName
            size: 16
            visible: control.iconName !== ""
            anchors.verticalCenter: parent.verticalCenter
        }
        Text {
            text: control.text
            font: control.font
            color: control.enabled ? Theme.text : Theme.textDim
            anchors.verticalCenter: parent.verticalCenter
        }
    }
    background: Rectangle {
        radius: height / 2
        color: control.down ? Qt.lighter(control.tint, 1.3) : control.hovered ? Qt.lighter(control.tint, 1.15) : control.tint
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
