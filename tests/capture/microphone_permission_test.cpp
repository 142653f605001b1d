#include "capture/microphone_permission.h"

#include <gtest/gtest.h>

namespace moxi {
namespace {

using Auth = MicrophoneAuthorization;
using Lines = std::vector<std::string>;

TEST(MicrophonePermission, EachStatusAsksGrantsOrRefusesAndAlertsOnlyWhenAskedAndRefused) {
  struct Case {
    Auth status;
    bool request;
    std::optional<bool> granted;  // published at once; a request is answered later
    bool alertsWhenAsked;
  };
  for (const Case& c : {Case{Auth::notDetermined, true, std::nullopt, false}, Case{Auth::restricted, false, false, true},
                        Case{Auth::denied, false, false, true}, Case{Auth::authorized, false, true, false},
                        Case{static_cast<Auth>(7), false, false, false}}) {
    for (bool showAlert : {false, true}) {
      auto action = microphonePermissionAction(c.status, showAlert);
      SCOPED_TRACE(static_cast<int>(c.status));
      EXPECT_EQ(action.requestAccess, c.request);
      EXPECT_EQ(action.hasMicPermission, c.granted);
      EXPECT_EQ(action.raiseAlert, showAlert && c.alertsWhenAsked);
    }
  }
}

TEST(MicrophoneSetupMessages, ReportEachRefusalInSetUpOrder) {
  EXPECT_EQ(microphoneSetupMessages({.noDevice = false, .inputError = {}, .inputAdded = true, .outputAdded = true}),
            Lines{});
  EXPECT_EQ(microphoneSetupMessages(
                {.noDevice = false, .inputError = "Connection refused", .inputAdded = false, .outputAdded = false}),
            (Lines{"couldn't create audio input device. Error - Connection refused", "Couldn't add audio output"}));
  EXPECT_EQ(microphoneSetupMessages({.noDevice = false, .inputError = {}, .inputAdded = false, .outputAdded = true}),
            Lines{"CAM - Couldn't add audio input device to session."});
  EXPECT_EQ(microphoneSetupMessages({.noDevice = true, .inputError = {}, .inputAdded = false, .outputAdded = true}),
            Lines{"No microphone: the sound server has no default source, recording without audio"});
}

}  // namespace
}  // namespace moxi
