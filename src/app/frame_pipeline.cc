#include "app/frame_pipeline.h"

#include "app/mevo.h"

// PLACEHOLDER: the frame pipeline (crop of the detection region, scan, grouping, classification,
// tracker step, ended-track counting) and the tally commit land with the pipeline work. Until
// then frames pass through untouched and nothing is ever counted.
int frame_pipeline_run(MevoApp *, const AppFrame *) {
    return 0;
}

int commit_tallies(MevoApp *) {
    return 0;
}
