import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// "伴奏": the transposition steps and the accompaniment input.
Rectangle {
    id: root
    required property var app
    required property var panel
    Layout.fillWidth: true
    implicitHeight: accompaniment.implicitHeight + 20
    radius: Theme.radius
    color: Theme.card
    ColumnLayout {
        id: accompaniment
        x: 14
        y: 10
        width: parent.width - 28
        spacing: 6
        RowLayout {
            objectName: "transposeRow"
            Layout.fillWidth: true
            Text {
                text: "升降调"
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize
                Layout.fillWidth: true
            }
            CircleButton {
                objectName: "transposeDown"
                iconName: "minus"
                enabled: root.app.transpose > -12
                onClicked: root.panel.transposeDown()
            }
            Text {
                text: root.panel.transposeText
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.titleSize
                font.weight: Font.DemiBold
                horizontalAlignment: Text.AlignHCenter
                Layout.preferredWidth: 44
            }
            CircleButton {
                objectName: "transposeUp"
                iconName: "plus"
                enabled: root.app.transpose < 12
                onClicked: root.panel.transposeUp()
            }
        }
        RowLayout {
            Layout.fillWidth: true
            Text {
                text: "输入通道"
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize
                Layout.fillWidth: true
            }
            PillButton {
                text: root.app.channelName !== "" ? root.app.channelName : "选择…"
                Layout.maximumWidth: 220
                onClicked: channelMenu.popup()
                Menu {
                    id: channelMenu
                    Instantiator {
                        model: root.app.channels
                        delegate: MenuItem {
                            required property var modelData
                            text: modelData.name
                            onTriggered: root.panel.chooseChannel(modelData.uid)
                        }
                        onObjectAdded: (index, object) => channelMenu.insertItem(index, object)
                        onObjectRemoved: (index, object) => channelMenu.removeItem(object)
                    }
                    MenuSeparator {}
                    MenuItem {
                        objectName: "createAccompanimentLoop"
                        text: "创建伴奏回路"
                        onTriggered: root.panel.createAccompanimentLoop()
                    }
                    MenuItem {
                        objectName: "removeAccompanimentLoop"
                        text: "移除伴奏回路"
                        enabled: root.panel.accompanimentLoopExists
                        onTriggered: root.panel.removeAccompanimentLoop()
                    }
                }
            }
        }
        Text {
            text: root.app.channelStatus
            color: Theme.textDim
            font.family: Theme.fontFamily
            font.pixelSize: Theme.smallSize
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
}
