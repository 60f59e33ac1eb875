// Opening web addresses in the browser.
#pragma once

// Sets g_szBrowserPath from the `browserPath` setting, default "xdg-open".
void InitBrowserPath();

// Starts the browser with the address as its one argument. The caller keeps
// the address; the outcome is logged, not returned.
void LaunchURL(const char* url);
