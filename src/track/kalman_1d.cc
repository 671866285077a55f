#include "track/kalman_1d.h"

void kalman_1d_predict(kalman_1d *f, double dt) {
    const double dt2 = dt * dt;
    const double p00 = f->p00;
    const double p01 = f->p01;
    const double p11 = f->p11;
    f->pos += dt * f->vel;
    f->p11 = p11 + f->q * dt2;
    f->p01 = p01 + dt * p11 + f->q * dt2 * dt / 2.0;
    f->p00 = p00 + dt2 * p11 + 2.0 * dt * p01 + f->q * dt2 * dt2 / 4.0;
}

void kalman_1d_update(kalman_1d *f, double value) {
    const double s = f->p00 + f->r;
    const double k0 = f->p00 / s;
    const double k1 = f->p01 / s;
    const double innovation = value - f->pos;
    const double p00 = f->p00;
    const double p01 = f->p01;
    const double p11 = f->p11;
    f->pos += k0 * innovation;
    f->vel += k1 * innovation;
    f->p11 = p11 - p01 * k1;
    f->p01 = p01 - k0 * p01;
    f->p00 = p00 - p00 * k0;
}

double kalman_1d_innovation_variance(const kalman_1d *f) {
    return f->p00 + f->r;
}
