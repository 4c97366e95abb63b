// A private X server for tests: Xvfb on a display of its own, and XTest to press keys and buttons
// on it as a user would. One server at a time per test process.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sys/types.h>

// Starts Xvfb and points DISPLAY at it (and unsets WAYLAND_DISPLAY), for this process and the
// children it starts. Fails (with the reason) when Xvfb is missing or does not start.
::testing::AssertionResult startXServer();

// Starts a new server on the display of the last one, after killXServer.
::testing::AssertionResult restartXServer();

// Terminates the server and waits for it to exit; does nothing when none runs.
void stopXServer();

// Faults for the code under test: kill the server (it is gone when this returns), stop it and let
// it run on (it is stopped, or running, when these return).
void killXServer();
void pauseXServer();
void resumeXServer();

pid_t xServerPid();   // -1 when none runs
int xServerDisplay(); // the display number of the last server started

// XTest input, through a connection of the harness's own. Each call returns once the server has
// processed the input; a failure (no server, a key the server has no keycode for) fails the test.
void pressKey(int inputCode); // a kernel key code such as KEY_A; the X keycode is 8 more
void releaseKey(int inputCode);
void pressMacKey(uint16_t virtualKey); // the key at the position of a platform virtual key code
void releaseMacKey(uint16_t virtualKey);
void pressButton(int xButton); // an X button number: 2 middle, 8 back, 9 forward
void releaseButton(int xButton);

// A round trip on the input connection: everything sent before it has been processed.
void syncXServer();

// One server for every test of a binary:
//   const auto *xserver = ::testing::AddGlobalTestEnvironment(new XServerEnvironment);
class XServerEnvironment : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
};
