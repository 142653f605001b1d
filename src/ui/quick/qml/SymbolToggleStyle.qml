import QtQuick

// A labelled on/off switch: the label, then a 32 x 20 capsule whose white
// knob slides along a critically damped spring when the capsule is clicked.
Row {
    id: toggle

    property alias text: label.text
    property bool isOn: false
    property string systemImage: "airplane"
    property color activeColor: "#007AFF"
    readonly property color inactiveColor: "#8E8E93"
    // Knob centre from the capsule's left edge, for tests and drawing.
    readonly property real knobCentre: 10 + 12 * progress

    // Emitted with the new value; the owner writes it to what the switch shows.
    signal toggled(bool value)

    spacing: 8

    // 0 = off position, 1 = on position; follows isOn along the spring.
    property real progress: isOn ? 1 : 0
    property real springFrom: progress
    property real springTime: 10   // seconds into the current spring motion
    readonly property real omega: 2 * Math.PI / 0.5   // response of 0.5 s
    function springValue(t) { return 1 - (1 + omega * t) * Math.exp(-omega * t) }

    NumberAnimation {
        id: spring
        target: toggle; property: "springTime"
        from: 0; to: 0.75; duration: 750
    }
    onSpringTimeChanged: {
        var target = isOn ? 1 : 0
        progress = springFrom + (target - springFrom) * springValue(springTime)
    }
    onIsOnChanged: {
        springFrom = progress
        if (springAnimated) {
            springAnimated = false
            spring.restart()
        } else {
            spring.stop()
            progress = isOn ? 1 : 0
        }
    }
    property bool springAnimated: false

    Text {
        id: label
        anchors.verticalCenter: parent.verticalCenter
        color: toggle.enabled ? palette.windowText : palette.placeholderText
    }

    Item {
        id: capsule
        objectName: "capsule"
        width: 32; height: 20
        anchors.verticalCenter: parent.verticalCenter

        Rectangle {
            anchors.fill: parent
            radius: Math.min(18, height / 2)
            color: Qt.rgba(toggle.inactiveColor.r + (toggle.activeColor.r - toggle.inactiveColor.r) * toggle.progress,
                           toggle.inactiveColor.g + (toggle.activeColor.g - toggle.inactiveColor.g) * toggle.progress,
                           toggle.inactiveColor.b + (toggle.activeColor.b - toggle.inactiveColor.b) * toggle.progress, 1)
        }
        Rectangle {
            objectName: "knob"
            width: 14; height: 14; radius: 7
            color: "white"
            y: 3
            x: toggle.knobCentre - width / 2
        }
        MouseArea {
            anchors.fill: parent
            enabled: toggle.enabled
            onClicked: {
                toggle.springAnimated = true
                toggle.toggled(!toggle.isOn)
            }
        }
    }
}
