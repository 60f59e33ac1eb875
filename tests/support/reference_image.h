// Whole-picture checks for screen tests: what the window shows is compared
// with a reference rendering kept beside the tests, pixel for pixel.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "platform/gdi/surface.h"
#include "platform/types.h"

// `name` is a path under tests/, such as "screens/reference/result-240x320.png".
// On a mismatch the rendering is saved as NAME.actual.png in the working folder
// and the failure tells how many pixels differ and where. With
// MELODEX_UPDATE_REFERENCES=1 in the environment the reference is (re)written
// instead: look at it before committing it.
::testing::AssertionResult MatchesReference(const Surface& shown, const std::string& name);

// Two renderings of one window differ, and only inside `area` (edges
// included): what a key or a tick changed, and nothing else.
::testing::AssertionResult ChangesOnlyWithin(const Surface& before, const Surface& after, const RECT& area);
