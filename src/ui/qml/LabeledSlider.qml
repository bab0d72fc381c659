import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// One tuning control of the "更多" group: its name, a slider and the value in percent.
RowLayout {
    id: row
    property string label
    property real value
    property real from: 0
    property real to: 1
    signal moved(real value)
    spacing: 10
    Text {
        text: row.label
        color: Theme.text
        font.family: Theme.fontFamily
        font.pixelSize: Theme.smallSize + 1
        Layout.preferredWidth: 72
    }
    Slider {
        id: slider
        from: row.from
        to: row.to
        value: row.value
        Layout.fillWidth: true
        onMoved: row.moved(value)
    }
    Text {
        text: Math.round((row.value - row.from) / (row.to - row.from) * 100)
        color: Theme.textDim
        font.family: Theme.fontFamily
        font.pixelSize: Theme.smallSize
        horizontalAlignment: Text.AlignRight
        Layout.preferredWidth: 28
    }
}
