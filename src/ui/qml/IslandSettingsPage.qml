import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The island's settings page: the accompaniment's input channel, the bar style,
// diagnostics and the update check.
Item {
    id: page
    required property var island
    readonly property var app: island.app

    component CardTitle: Text {
        color: Theme.textDim
        font.family: Theme.fontFamily
        font.pixelSize: Theme.smallSize + 1
        font.weight: Font.DemiBold
    }
    component Note: Text {
        color: Theme.textDim
        font.family: Theme.fontFamily
        font.pixelSize: Theme.smallSize + 1
        elide: Text.ElideRight
        Layout.fillWidth: true
    }

    ColumnLayout {
        anchors.fill: parent
        anchors.leftMargin: 22
        anchors.rightMargin: 22
        anchors.topMargin: 14
        anchors.bottomMargin: 16
        spacing: 10

        RowLayout {
            Layout.fillWidth: true
            spacing: 10
            IslandIconButton {
                objectName: "back"
                iconName: "chevron-left"
                onClicked: page.island.visibility.openMainPage()
            }
            Text {
                text: "设置"
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize + 2
                font.weight: Font.DemiBold
                Layout.fillWidth: true
            }
        }

        // The accompaniment's input channel.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: channelColumn.implicitHeight + 20
            radius: Theme.radius
            color: Theme.card
            ColumnLayout {
                id: channelColumn
                x: 14
                y: 10
                width: parent.width - 28
                spacing: 4
                CardTitle { text: "输入通道" }
                ListView {
                    id: channelList
                    objectName: "channelList"
                    Layout.fillWidth: true
                    implicitHeight: Math.min(count, 4) * 30
                    clip: true
                    interactive: count > 4
                    boundsBehavior: Flickable.StopAtBounds
                    model: page.app.channels
                    delegate: AbstractButton {
                        id: channelRow
                        required property var modelData
                        width: ListView.view.width
                        height: 30
                        hoverEnabled: true
                        onClicked: page.island.panel.chooseChannel(modelData.uid)
                        background: Rectangle {
                            radius: 8
                            color: channelRow.hovered ? Theme.cardRaised : "transparent"
                        }
                        contentItem: RowLayout {
                            spacing: 6
                            Icon {
                                name: "check"
                                size: 14
                                opacity: page.app.channelName === channelRow.modelData.name ? 1 : 0
                                Layout.leftMargin: 6
                            }
                            Text {
                                text: channelRow.modelData.name
                                color: Theme.text
                                font.family: Theme.fontFamily
                                font.pixelSize: Theme.bodySize
                                elide: Text.ElideRight
                                Layout.fillWidth: true
                            }
                        }
                    }
                }
                // One action makes (or takes away) the loop the player's sound comes in on.
                Chip {
                    objectName: "accompanimentLoop"
                    text: page.island.panel.accompanimentLoopExists ? "移除伴奏回路" : "创建伴奏回路"
                    font.pixelSize: Theme.smallSize
                    implicitHeight: 26
                    onClicked: page.island.panel.accompanimentLoopExists
                               ? page.island.panel.removeAccompanimentLoop()
                               : page.island.panel.createAccompanimentLoop()
                }
                Note { text: page.app.channelStatus; visible: text !== "" }
            }
        }

        // What the floating bar looks like.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 48
            radius: Theme.radius
            color: Theme.card
            RowLayout {
                anchors.fill: parent
                anchors.leftMargin: 14
                anchors.rightMargin: 10
                spacing: 8
                CardTitle { text: "显示为"; Layout.fillWidth: true }
                Chip {
                    objectName: "styleNotch"
                    text: "刘海"
                    font.pixelSize: Theme.bodySize
                    implicitHeight: 30
                    checked: page.app.floatingBarStyle === "notch"
                    onClicked: page.island.panel.chooseStyle("notch")
                }
                Chip {
                    objectName: "styleCapsule"
                    text: "胶囊"
                    font.pixelSize: Theme.bodySize
                    implicitHeight: 30
                    checked: page.app.floatingBarStyle === "capsule"
                    onClicked: page.island.panel.chooseStyle("capsule")
                }
            }
        }

        // Diagnostics and updates.
        Rectangle {
            Layout.fillWidth: true
            implicitHeight: maintenance.implicitHeight + 20
            radius: Theme.radius
            color: Theme.card
            ColumnLayout {
                id: maintenance
                x: 14
                y: 10
                width: parent.width - 28
                spacing: 6
                RowLayout {
                    spacing: 8
                    PillButton {
                        objectName: "exportDiagnostics"
                        text: "导出诊断信息"
                        enabled: !page.island.diagnostics.working
                        onClicked: page.island.diagnostics.exportDiagnostics()
                    }
                    PillButton {
                        text: "在文件管理器中显示"
                        visible: page.island.diagnostics.diagFileURL.toString() !== ""
                        onClicked: page.island.diagnostics.revealDiagnostics()
                    }
                }
                Note { text: page.island.diagnostics.diagMessage; visible: text !== "" }
                RowLayout {
                    spacing: 8
                    PillButton {
                        objectName: "checkUpdate"
                        text: "检查更新"
                        enabled: !page.island.updates.checking
                        onClicked: page.island.updates.check()
                    }
                    Text {
                        objectName: "updateMessage"
                        text: page.island.updates.updateAvailable
                              ? "发现新版本 " + page.island.updates.version
                              : page.island.updates.message
                        visible: text !== ""
                        color: page.island.updates.updateAvailable ? Theme.accent : Theme.textDim
                        font.family: Theme.fontFamily
                        font.pixelSize: Theme.bodySize
                        Layout.fillWidth: true
                        elide: Text.ElideRight
                    }
                    PillButton {
                        text: "下载"
                        tint: Theme.accent
                        visible: page.island.updates.updateAvailable
                        onClicked: page.island.updates.download()
                    }
                }
            }
        }
        Item { Layout.fillHeight: true }
    }
}
