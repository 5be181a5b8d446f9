#include "asyncfunc.h"

ASyncFunc::ASyncFunc() : QObject(nullptr) {}

ASyncFunc::~ASyncFunc() = default;
