#include "tools/sited/align/symmetric.h"

#include <algorithm>
#include <cmath>
#include <numeric>

namespace trklib::sited::align {

namespace {
constexpr int jacobiSweeps = 50;
constexpr double jacobiTolerance = 1e-14; // off-diagonal against the diagonal
} // namespace

bool Symmetric::cholesky(std::vector<double>& l) const
{
    l.assign(a_.size(), 0.0);
    for (int j = 0; j < n_; ++j) {
        double d = (*this)(j, j);
        for (int k = 0; k < j; ++k)
            d -= l[j * n_ + k] * l[j * n_ + k];
        if (!(d > 0.0))
            return false;
        const double root = std::sqrt(d);
        l[j * n_ + j] = root;
        for (int i = j + 1; i < n_; ++i) {
            double s = (*this)(i, j);
            for (int k = 0; k < j; ++k)
                s -= l[i * n_ + k] * l[j * n_ + k];
            l[i * n_ + j] = s / root;
        }
    }
    return true;
}

bool Symmetric::solve(std::vector<double>& b) const
{
    std::vector<double> l;
    if (!cholesky(l))
        return false;
    for (int i = 0; i < n_; ++i) {
        for (int k = 0; k < i; ++k)
            b[i] -= l[i * n_ + k] * b[k];
        b[i] /= l[i * n_ + i];
    }
    for (int i = n_ - 1; i >= 0; --i) {
        for (int k = i + 1; k < n_; ++k)
            b[i] -= l[k * n_ + i] * b[k];
        b[i] /= l[i * n_ + i];
    }
    return true;
}

bool Symmetric::inverse(Symmetric& out) const
{
    out = Symmetric(n_);
    std::vector<double> column(n_);
    for (int j = 0; j < n_; ++j) {
        std::fill(column.begin(), column.end(), 0.0);
        column[j] = 1.0;
        if (!solve(column))
            return false;
        for (int i = 0; i < n_; ++i)
            out(i, j) = column[i];
    }
    return true;
}

void Symmetric::eigen(std::vector<double>& values, std::vector<std::vector<double>>& vectors) const
{
    Symmetric a = *this;
    Symmetric v(n_);
    for (int i = 0; i < n_; ++i)
        v(i, i) = 1.0;
    for (int sweep = 0; sweep < jacobiSweeps; ++sweep) {
        double off = 0.0, diag = 0.0;
        for (int i = 0; i < n_; ++i) {
            diag += a(i, i) * a(i, i);
            for (int j = i + 1; j < n_; ++j)
                off += a(i, j) * a(i, j);
        }
        if (off <= jacobiTolerance * diag)
            break;
        for (int p = 0; p < n_; ++p) {
            for (int q = p + 1; q < n_; ++q) {
                if (a(p, q) == 0.0)
                    continue;
                // The rotation that zeroes a(p, q).
                const double theta = (a(q, q) - a(p, p)) / (2.0 * a(p, q));
                const double t = (theta >= 0.0 ? 1.0 : -1.0) /
                                 (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < n_; ++k) {
                    const double akp = a(k, p), akq = a(k, q);
                    a(k, p) = c * akp - s * akq;
                    a(k, q) = s * akp + c * akq;
                }
                for (int k = 0; k < n_; ++k) {
                    const double apk = a(p, k), aqk = a(q, k);
                    a(p, k) = c * apk - s * aqk;
                    a(q, k) = s * apk + c * aqk;
                }
                for (int k = 0; k < n_; ++k) {
                    const double vkp = v(k, p), vkq = v(k, q);
                    v(k, p) = c * vkp - s * vkq;
                    v(k, q) = s * vkp + c * vkq;
                }
            }
        }
    }
    std::vector<int> order(n_);
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int x, int y) { return a(x, x) < a(y, y); });
    values.clear();
    vectors.clear();
    for (const int k : order) {
        values.push_back(a(k, k));
        std::vector<double> column(n_);
        for (int i = 0; i < n_; ++i)
            column[i] = v(i, k);
        vectors.push_back(column);
    }
}

} // namespace trklib::sited::align
