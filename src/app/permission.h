// --request-permission: have the system ask for the listen permission and say the outcome.
#pragma once

// Writes "ready" and returns statusOk when access is granted, else "permission" and
// statusNoPermission. Exactly one line either way.
int requestPermission();
