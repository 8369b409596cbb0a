#pragma once

#include <span>

// The sentences a person reads to enrol their voice: our own, phonetically varied (every English sound,
// many in several neighbours), and made only of words in the bundled recogniser's dictionary, so that
// every take can teach it. About six minutes read at an ordinary pace. Their order is fixed: a take's file
// is named after its sentence's place in the list.
std::span<const char* const> enrolment_prompts();
