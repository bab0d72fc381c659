import QtQuick

// One line of text that scrolls to its end and back when it is wider than its room,
// and only while `running`.
Item {
    id: marquee
    property alias text: label.text
    property alias font: label.font
    property alias color: label.color
    property bool running: true
    readonly property real overflow: Math.max(0, label.implicitWidth - width)
    readonly property real pixelsPerSecond: 40

    clip: true
    implicitHeight: label.implicitHeight

    Text {
        id: label
        anchors.verticalCenter: parent.verticalCenter
    }

    SequentialAnimation {
        running: marquee.running && marquee.overflow > 0 && marquee.visible
        loops: Animation.Infinite
        onStopped: label.x = 0
        PauseAnimation { duration: 1500 }
        NumberAnimation {
            target: label; property: "x"; to: -marquee.overflow
            duration: 1000 * marquee.overflow / marquee.pixelsPerSecond
        }
        PauseAnimation { duration: 1500 }
        NumberAnimation {
            target: label; property: "x"; to: 0
            duration: 1000 * marquee.overflow / marquee.pixelsPerSecond
        }
    }
}
