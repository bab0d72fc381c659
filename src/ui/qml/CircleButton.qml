import QtQuick
import QtQuick.Controls.Basic

// A round icon button (the transposition's − and +).
AbstractButton {
    id: button
    property string iconName
    hoverEnabled: true
    implicitWidth: 34
    implicitHeight: 34
    contentItem: Item {
        Icon {
            name: button.iconName
            size: 16
            anchors.centerIn: parent
            opacity: button.enabled ? 1 : 0.35
        }
    }
    background: Rectangle {
        radius: width / 2
        color: button.down ? Theme.line : button.hovered ? Qt.lighter(Theme.cardRaised, 1.2) : Theme.cardRaised
    }
}
