#include "capture/microphone_permission.h"

#include <gtest/gtest.h>

#include "capture/fake_microphone.h"

namespace moxi {
namespace {

using Auth = MicrophoneAuthorization;

TEST(MicrophonePermission, NotDeterminedAsksAndNeverAlerts) {
  for (bool showAlert : {false, true}) {
    auto action = microphonePermissionAction(Auth::notDetermined, showAlert);
    EXPECT_TRUE(action.requestAccess);
    EXPECT_FALSE(action.hasMicPermission.has_value()) << "the answer is published when it comes";
    EXPECT_FALSE(action.raiseAlert);
  }
}

TEST(MicrophonePermission, RestrictedAndDeniedRefuseAndAlertOnlyWhenAsked) {
  for (Auth status : {Auth::restricted, Auth::denied}) {
    for (bool showAlert : {false, true}) {
      auto action = microphonePermissionAction(status, showAlert);
      EXPECT_FALSE(action.requestAccess);
      EXPECT_EQ(action.hasMicPermission, std::optional<bool>(false));
      EXPECT_EQ(action.raiseAlert, showAlert);
    }
  }
}

TEST(MicrophonePermission, AuthorizedGrantsWithoutAlert) {
  for (bool showAlert : {false, true}) {
    auto action = microphonePermissionAction(Auth::authorized, showAlert);
    EXPECT_FALSE(action.requestAccess);
    EXPECT_EQ(action.hasMicPermission, std::optional<bool>(true));
    EXPECT_FALSE(action.raiseAlert);
  }
}

TEST(MicrophonePermission, UnknownStatusGrantsNothing) {
  auto action = microphonePermissionAction(static_cast<Auth>(7), true);
  EXPECT_FALSE(action.requestAccess);
  EXPECT_EQ(action.hasMicPermission, std::optional<bool>(false));
  EXPECT_FALSE(action.raiseAlert);
}

TEST(MicrophoneSetupMessages, ReportEachRefusalInSetUpOrder) {
  using Lines = std::vector<std::string>;
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

// The controller's check is a thin wrapper: this is its whole shape, run
// against the fake access so the not-determined path's late answer is seen.
TEST(MicrophonePermission, LateAnswerOfARequestIsWhatGetsPublished) {
  test::FakeMicrophoneAccess access;
  std::optional<bool> hasMicPermission;
  auto action = microphonePermissionAction(access.authorizationStatus(), true);
  ASSERT_TRUE(action.requestAccess);
  access.requestAccess([&](bool granted) { hasMicPermission = granted; });
  EXPECT_FALSE(hasMicPermission.has_value());
  access.answer(true);
  EXPECT_EQ(hasMicPermission, std::optional<bool>(true));
}

}  // namespace
}  // namespace moxi
