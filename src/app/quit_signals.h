#pragma once

class QObject;

// Turns SIGTERM and SIGINT into an orderly QCoreApplication::quit(), so that a `kill`
// runs the same quit steps as any other quit. Self-pipe: the handler only writes a byte.
// Call once, on the main thread, after the application object exists.
void installQuitSignalHandlers(QObject* parent);
