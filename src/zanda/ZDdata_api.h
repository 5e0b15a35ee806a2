// Scoring of one binary classifier (ClassifierModel::test_samp and
// test_samp_lin) and the constant scores it produces, which the
// multi-category scorer must reproduce on its inverted-index route.
#ifndef ZDDATA_API_H
#define ZDDATA_API_H

#include "ZDdata_model.h"

// Score of a classifier whose restriction test fails (no output factors).
const double kRestrictFailScore = -1e37;
// Raw output of a trivial classifier whose "bias" was not given.
const double kTrivialNoBiasScore = -85.0;

#endif
