import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Window

// What we collect, said before anything is collected. Borderless with a drawn shadow;
// dragging anywhere on it moves it.
Window {
    id: root
    required property var consent

    readonly property int shadow: 14
    width: 470 + 2 * shadow
    height: card.implicitHeight + 2 * shadow
    visible: false
    color: "transparent"
    title: "Melodrix 声友 · 隐私说明"

    // The shadow: a few widening, fading outlines under the card.
    Repeater {
        model: 6
        Rectangle {
            required property int index
            x: root.shadow - index * 2
            y: root.shadow - index * 2 + 3
            width: card.width + index * 4
            height: card.height + index * 4
            radius: 18 + index * 2
            color: "transparent"
            border.width: 2
            border.color: Qt.rgba(0, 0, 0, 0.16 - index * 0.025)
        }
    }

    Rectangle {
        id: card
        x: root.shadow
        y: root.shadow
        width: 470
        implicitHeight: column.implicitHeight + 48
        radius: 18
        color: Theme.window
        border.color: Theme.line

        DragHandler {
            target: null
            onActiveChanged: if (active) root.startSystemMove()
        }

        ColumnLayout {
            id: column
            x: 24
            y: 24
            width: card.width - 48
            spacing: 14

            RowLayout {
                spacing: 10
                Icon { name: "hand-raised"; size: 24 }
                Text {
                    text: "使用前，先说清楚我们收集什么"
                    color: Theme.text
                    font.family: Theme.fontFamily
                    font.pixelSize: 18
                    font.weight: Font.DemiBold
                }
            }
            Text {
                text: "我们只收集“你在放什么歌、放了多久”，用来判断该给什么调性。"
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            Repeater {
                model: [
                    { icon: "mic-slash", title: "不上传音频", detail: "麦克风 / 系统声音只在本机内存里分析，不录音、不上传" },
                    { icon: "person-xmark", title: "不碰隐私内容", detail: "不收集通讯录、聊天、相册、位置" },
                    { icon: "credit-card", title: "不碰支付凭据", detail: "不接触支付宝密码、银行卡号" }
                ]
                RowLayout {
                    required property var modelData
                    Layout.fillWidth: true
                    spacing: 12
                    Rectangle {
                        width: 36
                        height: 36
                        radius: 10
                        color: Theme.cardRaised
                        Layout.alignment: Qt.AlignTop
                        Icon { name: modelData.icon; size: 20; anchors.centerIn: parent }
                    }
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Text {
                            text: modelData.title
                            color: Theme.text
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.bodySize
                            font.weight: Font.DemiBold
                        }
                        Text {
                            text: modelData.detail
                            color: Theme.textDim
                            font.family: Theme.fontFamily
                            font.pixelSize: Theme.smallSize + 1
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                }
            }
            Flow {
                Layout.fillWidth: true
                Text {
                    text: "完整说明（收集哪些、存多久、怎么删除）见"
                    color: Theme.textDim
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.smallSize
                }
                Text {
                    text: "《隐私政策》"
                    color: Theme.accent
                    font.family: Theme.fontFamily
                    font.pixelSize: Theme.smallSize
                    font.underline: linkArea.containsMouse
                    MouseArea {
                        id: linkArea
                        anchors.fill: parent
                        hoverEnabled: true
                        cursorShape: Qt.PointingHandCursor
                        onClicked: root.consent.openPrivacyPolicy()
                    }
                }
            }
            RowLayout {
                Layout.fillWidth: true
                Layout.topMargin: 6
                spacing: 10
                Item { Layout.fillWidth: true }
                PillButton {
                    text: "不同意"
                    onClicked: root.consent.decline()
                }
                PillButton {
                    text: "同意并继续"
                    tint: "#2f6ea8"
                    onClicked: root.consent.accept()
                }
            }
        }
    }
}
