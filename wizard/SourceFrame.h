#pragma once
#include "ffmpeg/SourceCheck.h"

class QLabel;

// Shows a source check's frame in label, scaled to the label's size, or why there is none.
void ShowSourceFrame(QLabel* label, const SourceResult& result);
