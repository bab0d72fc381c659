import QtQuick

// A short explanation beside the pointer. The controller (HoverTip) sets `text` and
// `cardWidth` and places the window; the card sits `shadowMargin` inside the window so that
// its own shadow has room.
Window {
    id: tip

    property string text
    property real cardWidth: fittingWidth
    readonly property int padding: 10
    readonly property int verticalPadding: 7
    readonly property int shadowMargin: 10
    readonly property int radius: 8
    // One line of the text at its natural width, plus the padding.
    readonly property real fittingWidth: Math.ceil(measure.implicitWidth) + 2 * padding
    readonly property real cardHeight: Math.ceil(label.implicitHeight) + 2 * verticalPadding

    color: "transparent"

    Text {
        id: measure
        visible: false
        text: tip.text
        font: label.font
    }

    // The shadow: rings fading outwards, a little lower than the card.
    Repeater {
        model: 5
        Rectangle {
            required property int index
            x: tip.shadowMargin - (index + 1) * 2
            y: tip.shadowMargin - (index + 1) * 2 + 2
            width: tip.cardWidth + (index + 1) * 4
            height: tip.cardHeight + (index + 1) * 4
            radius: tip.radius + (index + 1) * 2
            color: "black"
            opacity: 0.10 - index * 0.018
        }
    }

    Rectangle {
        id: card
        x: tip.shadowMargin
        y: tip.shadowMargin
        width: tip.cardWidth
        height: tip.cardHeight
        radius: tip.radius
        color: "#0f1115"
        border.color: Theme.line
        border.width: 1

        Text {
            id: label
            x: tip.padding
            y: tip.verticalPadding
            width: tip.cardWidth - 2 * tip.padding
            text: tip.text
            wrapMode: Text.Wrap
            color: Theme.text
            font.family: Theme.fontFamily
            font.pixelSize: Theme.bodySize - 1
            lineHeight: 1.1
        }
    }
}
