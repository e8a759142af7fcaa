// Suspends the only thread for ms milliseconds. Tests link their own, which sleeps for no one.
#pragma once

void msleep(unsigned int ms);
