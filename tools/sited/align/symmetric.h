#pragma once

#include <vector>

// The little dense linear algebra the aligner needs: symmetric matrices of
// a few dozen rows (four unknowns a radar), solved by Cholesky and
// decomposed by Jacobi rotations.
namespace trklib::sited::align {

class Symmetric
{
public:
    explicit Symmetric(int n = 0) : n_(n), a_(std::size_t(n) * std::size_t(n), 0.0) {}

    int size() const { return n_; }
    double& operator()(int i, int j) { return a_[std::size_t(i) * std::size_t(n_) + j]; }
    double operator()(int i, int j) const { return a_[std::size_t(i) * std::size_t(n_) + j]; }

    // Solves this * x = b in place of b; false when the matrix is not
    // positive definite.
    bool solve(std::vector<double>& b) const;
    // The inverse; false when the matrix is not positive definite.
    bool inverse(Symmetric& out) const;
    // Eigenvalues (ascending) and their unit eigenvectors, vectors[k] the k-th.
    void eigen(std::vector<double>& values, std::vector<std::vector<double>>& vectors) const;

private:
    bool cholesky(std::vector<double>& l) const;

    int n_;
    std::vector<double> a_;
};

} // namespace trklib::sited::align
