import QtQuick
import QtQuick.Window

// The capsule: the key and the song at a glance, then the buttons, which grow under the
// pointer like a Dock's. Sizes and positions come from the controller.
Window {
    id: root
    required property var app
    required property var capsule

    width: 624
    height: 100
    visible: false
    color: "transparent"
    title: "Melodrix 声友 · 胶囊"

    Rectangle {
        anchors.fill: parent
        radius: 28
        color: Theme.window
        border.color: Theme.line
    }

    DragHandler {
        target: null
        onActiveChanged: if (active) root.startSystemMove()
    }
    HoverHandler {
        id: hover
        onPointChanged: root.capsule.setPointer(point.position.x)
        onHoveredChanged: if (!hovered) root.capsule.clearPointer()
    }

    Column {
        x: 22
        // The text gives way to buttons that grow to the left.
        width: Math.min(root.capsule.textWidth, root.capsule.rowStart - x - 8)
        anchors.verticalCenter: parent.verticalCenter
        spacing: 2
        Text {
            width: parent.width
            text: root.app.displayKey
            color: Theme.text
            font.family: Theme.fontFamily
            font.pixelSize: 22
            font.weight: Font.Bold
            elide: Text.ElideRight
        }
        Text {
            width: parent.width
            text: root.app.displaySong
            color: Theme.textDim
            font.family: Theme.fontFamily
            font.pixelSize: Theme.smallSize
            elide: Text.ElideRight
        }
    }

    Repeater {
        model: root.capsule.buttons
        Item {
            id: button
            required property var modelData
            required property int index
            readonly property real grow: root.capsule.scales[index] ?? 1
            readonly property bool hovered: root.capsule.hoveredIndex === index
            width: root.capsule.baseWidth
            height: 48
            x: (root.capsule.centres[index] ?? 0) - width / 2
            y: root.height - height - 10
            scale: grow
            transformOrigin: Item.Bottom
            z: hovered ? 1 : 0

            Rectangle {
                anchors.fill: parent
                radius: 11
                color: Qt.rgba(button.modelData.accent.r, button.modelData.accent.g, button.modelData.accent.b,
                               button.hovered ? 0.34 : 0.16)
                border.width: 1
                border.color: Qt.rgba(button.modelData.accent.r, button.modelData.accent.g, button.modelData.accent.b, 0.6)
            }
            Icon {
                name: button.modelData.icon
                size: 18
                anchors.horizontalCenter: parent.horizontalCenter
                y: 6
            }
            Text {
                text: button.modelData.label
                color: button.modelData.accent
                font.family: Theme.fontFamily
                font.pixelSize: 11
                anchors.horizontalCenter: parent.horizontalCenter
                anchors.bottom: parent.bottom
                anchors.bottomMargin: 3
            }
            TapHandler {
                onTapped: root.capsule.trigger(button.index)
            }
        }
    }
}
