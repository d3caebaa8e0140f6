#pragma once
#include "fakes/ScriptedFrameCapture.h"
