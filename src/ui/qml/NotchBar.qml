import QtQuick
import QtQuick.Window

// The island: a pill under the top edge that opens into a card (main page or settings
// page). The controller places and sizes the window and sets the geometry below; the
// visibility object decides when the card is open. Layout and animation only.
Window {
    id: root
    required property var app
    required property var panel
    required property var tuning
    required property var diagnostics
    required property var hoverTip
    required property var visibility
    required property var updates

    // Set by the controller from the screen's model.
    property int pillWidth: 224
    property int pillHeight: 32
    property int cardWidth: 560
    property int topOffset: 3
    property int cardRadius: 36
    property int mainHeight: 208
    property int settingsHeight: 500

    signal openMainPanelRequested()

    readonly property bool open: visibility.expanded
    // The product word while no key is known yet.
    readonly property string keyLine: app.keyText.indexOf("等待") >= 0 ? "声友" : app.displayKey
    readonly property int animationMs: 240

    width: cardWidth
    height: mainHeight + topOffset + 8
    visible: false
    color: "transparent"
    title: "Melodrix 声友"

    Rectangle {
        id: island
        objectName: "island"
        x: Math.round((root.width - width) / 2)
        y: root.topOffset
        width: root.open ? root.cardWidth : root.pillWidth
        height: root.open ? (root.visibility.settingsPage ? root.settingsHeight : root.mainHeight) : root.pillHeight
        radius: root.open ? root.cardRadius : root.pillHeight / 2
        color: "#0b0c10"
        border.color: Theme.line
        border.width: 1
        clip: true

        Behavior on width { NumberAnimation { duration: root.animationMs; easing.type: Easing.OutCubic } }
        Behavior on height { NumberAnimation { duration: root.animationMs; easing.type: Easing.OutCubic } }
        Behavior on radius { NumberAnimation { duration: root.animationMs; easing.type: Easing.OutCubic } }

        // Collapsed: the key (or the product word) at a glance.
        Row {
            id: pill
            anchors.centerIn: parent
            spacing: 6
            opacity: root.open ? 0 : 1
            visible: opacity > 0
            Behavior on opacity { NumberAnimation { duration: root.animationMs / 2 } }
            Icon { name: "wave"; size: 16; anchors.verticalCenter: parent.verticalCenter }
            Text {
                text: root.keyLine
                color: Theme.text
                font.family: Theme.fontFamily
                font.pixelSize: Theme.bodySize
                font.weight: Font.DemiBold
                elide: Text.ElideRight
                width: Math.min(implicitWidth, root.pillWidth - 56)
                anchors.verticalCenter: parent.verticalCenter
            }
        }

        Item {
            id: content
            x: (island.width - root.cardWidth) / 2
            width: root.cardWidth
            height: island.height
            opacity: root.open ? 1 : 0
            visible: opacity > 0
            Behavior on opacity { NumberAnimation { duration: root.animationMs } }

            IslandMainPage {
                anchors.fill: parent
                visible: !root.visibility.settingsPage
                island: root
            }
            IslandSettingsPage {
                anchors.fill: parent
                visible: root.visibility.settingsPage
                island: root
            }
        }
    }
}
