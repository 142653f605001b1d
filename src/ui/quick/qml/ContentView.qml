import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The popover's content. Everything shown comes from `toggler`, the recorder
// controller, and `autostart`, the start-at-login entry, which the host sets
// as context properties.
Rectangle {
    id: contentView
    width: 400
    height: 400
    color: palette.window

    // The window whose row was clicked last, and the row the pointer touched last.
    property var selectedWindow: null
    property real overWindowID: 0

    readonly property string helpText: toggler.helpText

    function pickWindow(entry) {
        if (toggler.popoverShown) {
            toggler.closePopover()
            Qt.callLater(toggler.startElapsedTimer)
        }
        selectedWindow = entry
        toggler.startRecordingWindow(entry.windowID)
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 8

        Label {
            objectName: "helpText"
            text: contentView.helpText
            padding: 16
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: contentView.width
            wrapMode: Text.WordWrap
        }

        Label {
            objectName: "popoverNote"
            visible: text.length > 0
            text: toggler.popoverNote
            leftPadding: 16
            rightPadding: 16
            font.italic: true
            Layout.maximumWidth: contentView.width
            wrapMode: Text.WordWrap
        }

        ListView {
            id: windowList
            objectName: "windowList"
            Layout.fillWidth: true
            Layout.fillHeight: true
            clip: true
            model: toggler.allwindows
            boundsBehavior: Flickable.StopAtBounds
            ScrollBar.vertical: ScrollBar {}

            delegate: Rectangle {
                id: row
                objectName: "windowRow"
                required property real windowID
                required property string title
                required property string thumbnail
                required property size thumbnailSize
                required property int index
                width: windowList.width
                height: rowContent.implicitHeight + 8
                color: contentView.overWindowID === windowID ? palette.placeholderText : "transparent"

                RowLayout {
                    id: rowContent
                    x: 4; y: 4
                    width: parent.width - 8
                    spacing: 8
                    Image {
                        source: row.thumbnail
                        width: row.thumbnailSize.width
                        height: row.thumbnailSize.height
                        Layout.preferredWidth: row.thumbnailSize.width
                        Layout.preferredHeight: row.thumbnailSize.height
                        cache: false
                        smooth: true
                    }
                    Label {
                        text: row.title
                        font.pixelSize: 14
                        elide: Text.ElideRight
                        maximumLineCount: 1
                        wrapMode: Text.NoWrap
                        Layout.fillWidth: true
                    }
                }
                MouseArea {
                    anchors.fill: parent
                    hoverEnabled: true
                    onEntered: contentView.overWindowID = row.windowID
                    onExited: contentView.overWindowID = row.windowID
                    onClicked: contentView.pickWindow({ windowID: row.windowID, title: row.title })
                }
            }

            footer: ColumnLayout {
                objectName: "permissionPanel"
                visible: toggler.permissionError
                width: windowList.width
                height: visible ? implicitHeight : 0
                spacing: 8
                Label {
                    text: "Moxiscope needs screen recording permission"
                    Layout.alignment: Qt.AlignHCenter
                }
                RowLayout {
                    Layout.fillWidth: true
                    Item { Layout.fillWidth: true }
                    Button {
                        text: "Open Permissions Panel"
                        highlighted: true
                        onClicked: toggler.openPermissionsPanel()
                    }
                }
            }
        }

        RowLayout {
            objectName: "switchRow"
            Layout.alignment: Qt.AlignHCenter
            Layout.maximumWidth: contentView.width - 8
            spacing: 8
            SymbolToggleStyle {
                objectName: "cursorSwitch"
                text: "Cursor"
                isOn: toggler.cursorOn
                onToggled: (value) => toggler.cursorOn = value
            }
            SymbolToggleStyle {
                objectName: "microphoneSwitch"
                text: "Microphone"
                enabled: toggler.hasMicPermission
                isOn: toggler.captureMicrophone
                onToggled: (value) => toggler.captureMicrophone = value
            }
            SymbolToggleStyle {
                objectName: "popupsSwitch"
                text: "Popups"
                isOn: toggler.capturePopups
                onToggled: (value) => toggler.capturePopups = value
            }
            // Only where the host gives the autostart entry (the program does).
            SymbolToggleStyle {
                objectName: "loginSwitch"
                text: "Login"
                visible: typeof autostart !== "undefined"
                isOn: visible && autostart.enabled
                onToggled: (value) => autostart.enabled = value
            }
        }

        RowLayout {
            objectName: "bottomRow"
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: 8
            spacing: 8
            Button {
                objectName: "quitButton"
                text: "Quit"
                padding: 8
                onClicked: toggler.quit()
            }
            Button {
                objectName: "requestMicButton"
                text: "Request Mic Permission"
                visible: !toggler.hasMicPermission
                onClicked: toggler.checkMicrophonePermission(true)
            }
        }
    }

    // Each time the popover's content appears the microphone state is checked,
    // after the popover is on the screen: the check asks the sound server.
    Connections {
        target: toggler
        function onPopoverShownChanged() {
            if (toggler.popoverShown)
                Qt.callLater(toggler.checkMicrophonePermission, false)
        }
    }
    Component.onCompleted: toggler.checkMicrophonePermission(false)

    Dialog {
        id: micAlert
        objectName: "micAlert"
        title: "Moxiscope"
        modal: true
        anchors.centerIn: parent
        width: Math.min(360, contentView.width - 20)
        standardButtons: Dialog.Ok
        visible: toggler.showingAlert
        onClosed: toggler.showingAlert = false
        Label {
            width: parent.width
            wrapMode: Text.WordWrap
            text: "Open your desktop's Sound settings and choose an input device (or start a sound server such as PulseAudio or PipeWire)"
        }
    }
}
