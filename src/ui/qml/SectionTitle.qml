import QtQuick

Text {
    color: Theme.textDim
    font.family: Theme.fontFamily
    font.pixelSize: Theme.smallSize
    font.weight: Font.DemiBold
    font.letterSpacing: 1
}
