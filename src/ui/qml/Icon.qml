import QtQuick

// One of our SVG icons, drawn sharp at any scale.
Image {
    property string name
    property int size: 18
    source: name ? "qrc:/ui/icons/" + name + ".svg" : ""
    width: size
    height: size
    sourceSize.width: size * 2
    sourceSize.height: size * 2
    fillMode: Image.PreserveAspectFit
    smooth: true
}
