#pragma once

namespace quorvi {

// The two permissions the server depends on, as yes or no: may this process
// read the screen, and may it post synthetic pointer events. Asking never
// prompts the user and never changes anything; a missing grant only makes
// the callers explain themselves (a frame without picture, a summary that
// says "manquant").
//
// Both are asked often (the frame loop once per frame, the permission timer
// every two seconds), so implementations answer quickly, from a short-lived
// cache when the real check is a round trip.
//
// Thread: any; implementations serialize their own platform calls.
class PrivacyGrants {
public:
    virtual ~PrivacyGrants() = default;

    virtual bool isScreenRecordingGranted() = 0;
    virtual bool isAccessibilityGranted() = 0;
};

} // namespace quorvi
