#pragma once

// Whether the operating system reports a network connection: Qt's network information where a
// backend for this system is installed and knows the state, otherwise whether an interface other
// than loopback is up and running.
bool systemReportsConnection();

// The fallback alone: a non-loopback interface up and running.
bool nonLoopbackInterfaceUp();
