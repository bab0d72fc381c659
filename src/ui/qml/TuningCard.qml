import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// "调音": the retune intensity, its help text, the input types and the other controls
// under "更多".
Rectangle {
    id: root
    required property var app
    required property var panel
    required property var tuning
    required property var hoverTip
    Layout.fillWidth: true
    implicitHeight: tuningColumn.implicitHeight + 20
    radius: Theme.radius
    color: Theme.card
    ColumnLayout {
        id: tuningColumn
        x: 14
        y: 10
        width: parent.width - 28
        spacing: 6
        Text {
            text: "电音强度"
            color: Theme.text
            font.family: Theme.fontFamily
            font.pixelSize: Theme.bodySize
            font.weight: Font.DemiBold
        }
        RowLayout {
            Layout.fillWidth: true
            spacing: 8
            Text {
                text: "自然"
                color: Theme.textDim
                font.family: Theme.fontFamily
                font.pixelSize: Theme.smallSize
            }
            Slider {
                id: intensity
                from: 0
                to: 1
                value: root.app.retune
                Layout.fillWidth: true
                onMoved: root.app.retune = value
                onPressedChanged: {
                    if (pressed) {
                        if (root.hoverTip)
                            root.hoverTip.hide()
                        root.tuning.beginIntensityDrag()
                    } else {
                        root.tuning.endIntensityDrag()
                    }
                }
            }
            Text {
                text: "电"
                color: Theme.textDim
                font.family: Theme.fontFamily
                font.pixelSize: Theme.smallSize
            }
        }
        Text {
            text: "往右调：修音又快又狠，声音很“电”\n往左调：修音变慢，声音接近原声"
            color: Theme.textDim
            font.family: Theme.fontFamily
            font.pixelSize: Theme.smallSize
            lineHeight: 1.2
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
        Flow {
            Layout.fillWidth: true
            Layout.topMargin: 4
            spacing: 6
            Repeater {
                model: root.panel.types
                Chip {
                    required property string modelData
                    required property int index
                    text: modelData
                    checked: root.app.typeIndex === index
                    onClicked: root.tuning.pickInputType(index)
                }
            }
        }
        AbstractButton {
            id: moreToggle
            objectName: "moreToggle"
            checkable: true
            Layout.fillWidth: true
            implicitHeight: 22
            contentItem: Row {
                spacing: 4
                Text {
                    text: "更多"
                    color: Theme.accent
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.smallSize + 1
                    anchors.verticalCenter: parent.verticalCenter
                }
                Icon {
                    name: "chevron-down"
                    size: 14
                    rotation: moreToggle.checked ? 180 : 0
                    anchors.verticalCenter: parent.verticalCenter
                }
            }
            background: Item {}
        }
        ColumnLayout {
            visible: moreToggle.checked
            Layout.fillWidth: true
            spacing: 2
            LabeledSlider { label: "自然度"; value: root.tuning.humanize; onMoved: v => root.tuning.humanize = v; Layout.fillWidth: true }
            LabeledSlider { label: "颤音幅度"; value: root.tuning.vibratoAmplitude; onMoved: v => root.tuning.vibratoAmplitude = v; Layout.fillWidth: true }
            LabeledSlider { label: "音高灵活"; value: root.tuning.flexTune; onMoved: v => root.tuning.flexTune = v; Layout.fillWidth: true }
            LabeledSlider { label: "自然颤音"; value: root.tuning.naturalVibrato; onMoved: v => root.tuning.naturalVibrato = v; Layout.fillWidth: true }
            LabeledSlider { label: "跟踪"; value: root.tuning.tracking; onMoved: v => root.tuning.tracking = v; Layout.fillWidth: true }
            LabeledSlider { label: "喉部长度"; value: root.tuning.throat; onMoved: v => root.tuning.throat = v; Layout.fillWidth: true }
            LabeledSlider { label: "干湿比"; value: root.tuning.wetDry; onMoved: v => root.tuning.wetDry = v; Layout.fillWidth: true }
            RowLayout {
                Layout.fillWidth: true
                Chip {
                    text: "共振峰校正"
                    checkable: true
                    checked: root.tuning.formant >= 0.5
                    onToggled: root.tuning.formant = checked ? 1.0 : 0.0
                }
                Chip {
                    text: "经典模式"
                    checkable: true
                    checked: root.tuning.classicMode
                    onToggled: root.tuning.classicMode = checked
                }
            }
            RowLayout {
                objectName: "decisionEngine"
                Layout.fillWidth: true
                spacing: 6
                HoverHandler {
                    onHoveredChanged: {
                        if (!root.hoverTip)
                            return
                        if (hovered)
                            root.hoverTip.schedule(root.panel.decisionEngineTip)
                        else
                            root.hoverTip.hide()
                    }
                }
                Text {
                    text: "识别引擎"
                    color: Theme.text
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.smallSize + 1
                }
                Chip {
                    text: "经典"
                    checked: !root.panel.neuralFirst
                    onClicked: root.panel.neuralFirst = false
                }
                Chip {
                    objectName: "neuralFirst"
                    text: "神经网络优先"
                    checked: root.panel.neuralFirst
                    onClicked: root.panel.neuralFirst = true
                }
            }
        }
    }
}
