pragma Singleton
import QtQuick

// The look every window shares: dark, calm, legible from across the desk.
QtObject {
    readonly property string fontFamily: "Noto Sans CJK SC"
    readonly property color window: "#16181d"
    readonly property color card: "#22252c"
    readonly property color cardRaised: "#2c3039"
    readonly property color line: "#353a44"
    readonly property color text: "#eef0f4"
    readonly property color textDim: "#9aa1ad"
    readonly property color accent: "#8cc8ff"
    readonly property color good: "#4cd98a"
    readonly property color warn: "#f2b84b"
    readonly property color bad: "#a3868a"
    readonly property int radius: 14
    readonly property int titleSize: 20
    readonly property int keySize: 28
    readonly property int bodySize: 14
    readonly property int smallSize: 12
}
