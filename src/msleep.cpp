#include "msleep.h"

#include <chrono>
#include <thread>

void msleep(unsigned int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
