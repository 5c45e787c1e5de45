// The two composite actions: "program" brings the whole device up to date
// from the image in one run, "verify" checks the whole device against it.
#pragma once

void dp_action_program();
void dp_action_verify();
