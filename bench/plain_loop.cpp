// The yardstick for bench/run.py: the models written as the plain scalar
// loops anyone would write first (one temperature after another, the
// nucleation correction with its expm1 calls at every midpoint), with the
// same arithmetic in the same order.  Built by the benchmark with the
// package's flags; prints one JSON object of timings and results.
//
// Usage: plain_loop TEMPERATURES...   (the temperatures of the sweeps)
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr double R = 8.314;
constexpr int steps = 100;

double k_at(double dh, double ds, double t) { return std::exp(ds / R - dh / (t * R)); }
double sigma_at(double dh_nuc, double t) { return std::exp(-dh_nuc / (t * R)); }

double isodesmic(double conc, double k) {
    double lower = 0.0, upper = 1.0 / k;
    for (int i = 0; i < steps; ++i) {
        double m = (lower + upper) * 0.5;
        double p = k * m;
        if (p > 1.0) return NAN;
        double t1 = 1.0 - p;
        double r = m / (t1 * t1) - conc;
        if (r <= 0.0) lower = m; else upper = m;
    }
    return 1.0 - ((lower + upper) * 0.5) / conc;
}

double direct(double x) {
    double t = std::sqrt(x + 0.25);
    double d = (x + 0.5) + t;
    if (x < 1.0) return x * (2.0 * t + 3.0) / ((2.0 * t + 1.0) * d);
    return 1.0 - 1.0 / d;
}

double aggregate(double q, double x) {
    return (q * ((x * x) * (2.0 - x))) / ((1.0 - x) * (1.0 - x));
}

double cooperative(double conc, double k, double sigma) {
    double lower = 0.0, upper = 1.0 / k, q = sigma / k;
    for (int i = 0; i < steps; ++i) {
        double m = (lower + upper) * 0.5;
        double x = k * m;
        if (x >= 1.0) return NAN;
        double f = (m + aggregate(q, x)) - conc;
        if (f <= 0.0) lower = m; else upper = m;
    }
    return 1.0 - ((lower + upper) * 0.5) / conc;
}

double power_of(double sigma, unsigned e) {
    double r = (e & 1) ? sigma : 1.0, b = sigma;
    for (e >>= 1; e != 0; e >>= 1) {
        b = b * b;
        if (e & 1) r = r * b;
    }
    return r;
}

double cooperative_n(double conc, double k, double sigma, unsigned n) {
    double lower = 0.0, upper = 1.0 / k;
    double power = power_of(sigma, n - 1) / k;
    for (int i = 0; i < steps; ++i) {
        double m = (lower + upper) * 0.5;
        double x = k * m;
        double f = HUGE_VAL;
        if (x < 1.0) {
            double s = 0.0, px = x * x, ps = sigma, w = 2.0, log_sigma = std::log1p(sigma - 1.0);
            for (unsigned j = n - 2; j != 0; --j) {
                s = s - px * ((ps * w) * std::expm1(log_sigma * j));
                px = x * px;
                ps = sigma * ps;
                w = w + 1.0;
            }
            f = (m + aggregate(power, x)) + s / k;
        }
        if (f - conc <= 0.0) lower = m; else upper = m;
    }
    return 1.0 - ((lower + upper) * 0.5) / conc;
}

double coop_iso(double conc, double k_iso, double k_coop, double sigma) {
    double lower = 0.0, upper = std::fmin(1.0 / k_iso, 1.0 / k_coop), q = sigma / k_coop;
    for (int i = 0; i < steps; ++i) {
        double m = (lower + upper) * 0.5;
        double xi = k_iso * m, xc = k_coop * m;
        if (xi > 1.0 || xc >= 1.0) return NAN;
        double a1 = 1.0 - xi;
        double f = ((m / (a1 * a1)) + (m + aggregate(q, xc))) - m;
        if (f - conc <= 0.0) lower = m; else upper = m;
    }
    return 1.0 - ((lower + upper) * 0.5) / conc;
}

volatile double sink;

template <typename F>
double seconds_per_run(F&& run) {
    using clock = std::chrono::steady_clock;
    double best = 1e300;
    for (int repeat = 0; repeat < 5; ++repeat) {
        const auto start = clock::now();
        int runs = 0;
        do {
            run();
            ++runs;
        } while (clock::now() - start < std::chrono::milliseconds(60));
        best = std::min(best, std::chrono::duration<double>(clock::now() - start).count() / runs);
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> temps;
    for (int i = 1; i < argc; ++i) temps.push_back(std::strtod(argv[i], nullptr));
    const double n = static_cast<double>(temps.size());
    std::vector<double> out(temps.size());
    // The benchmark's parameters (bench/run.py): J/mol, J/(mol K), mol/L.
    const double dh = -100000.0, ds = -200.0, dh_nuc = 20000.0, c = 1e-5;
    const double dh_iso = -60000.0, ds_iso = -100.0;

    std::printf("{");
    auto sweep = [&](const char* name, auto&& model) {
        const double t = seconds_per_run([&] {
            for (std::size_t i = 0; i < temps.size(); ++i) out[i] = model(temps[i]);
            sink = out[0];
        });
        std::printf("\"%s\": {\"seconds\": %.6e, \"first\": %.17g, \"last\": %.17g}, ", name, t / n,
                    out.front(), out.back());
    };
    sweep("temp_isodesmic_model_direct", [&](double t) { return direct(c * k_at(dh, ds, t)); });
    sweep("temp_isodesmic_model", [&](double t) { return isodesmic(c, k_at(dh, ds, t)); });
    sweep("temp_cooperative_model",
          [&](double t) { return cooperative(c, k_at(dh, ds, t), sigma_at(dh_nuc, t)); });
    sweep("temp_cooperative_model_n",
          [&](double t) { return cooperative_n(c, k_at(dh, ds, t), sigma_at(dh_nuc, t), 10); });
    sweep("temp_coop_iso_model", [&](double t) {
        return coop_iso(c, k_at(dh_iso, ds_iso, t), k_at(dh, ds, t), sigma_at(dh_nuc, t));
    });
    for (unsigned nuc : {3u, 10u, 30u}) {
        double value = 0.0;
        const double t = seconds_per_run([&] { sink = value = cooperative_n(1e-5, 1e6, 1e-3, nuc); });
        std::printf("\"cooperative_model_n %u\": {\"seconds\": %.6e, \"first\": %.17g, \"last\": %.17g}, ",
                    nuc, t, value, value);
    }
    std::printf("\"temperatures\": %zu}\n", temps.size());
    return 0;
}
