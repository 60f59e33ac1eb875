#include "bench/server/curves_plot.h"

#include <cstdlib>
#include <fstream>

namespace melodex::bench {

bool plotCurves(const std::string& png, const std::vector<double>& snrs, const std::vector<std::string>& kinds,
                const RecallAt& recall, std::string& error) {
    const std::string data = png + ".dat", script = png + ".gp";
    {
        // Columns: SNR, then per part: this build, previous build ("?" where not measured).
        std::ofstream out(data);
        for (size_t k = 0; k < kinds.size(); ++k) {
            out << "# " << kinds[k] << "\n";
            for (double snr : snrs) {
                out << snr;
                for (size_t part = 0; part < 2; ++part)
                    for (bool previous : {false, true}) {
                        const double r = recall(k, part, previous, snr);
                        out << ' ';
                        if (r < 0) out << '?';
                        else out << r;
                    }
                out << "\n";
            }
            out << "\n\n";
        }
    }
    std::ofstream gp(script);
    gp << "set terminal pngcairo size 1200,420 font 'DejaVu Sans,10'\n"
       << "set output '" << png << "'\n"
       << "set datafile missing '?'\n"
       << "set multiplot layout 1," << kinds.size() << "\n"
       << "set xrange [" << snrs.front() << ":" << snrs.back() << "]\nset yrange [0:100]\n"
       << "set xlabel 'SNR (dB)'\nset ylabel 'recall (%)'\nset grid\nset key bottom right\n";
    for (size_t k = 0; k < kinds.size(); ++k) {
        gp << "set title '" << kinds[k] << " noise'\n"
           << "plot '" << data << "' index " << k << " using 1:4 with linespoints lw 2 lc rgb '#1f77b4' title 'held-out, new', "
           << "'' index " << k << " using 1:5 with linespoints lw 2 dt 2 lc rgb '#1f77b4' title 'held-out, previous', "
           << "'' index " << k << " using 1:2 with linespoints lc rgb '#ff7f0e' title 'tuning, new', "
           << "'' index " << k << " using 1:3 with linespoints dt 2 lc rgb '#ff7f0e' title 'tuning, previous'\n";
    }
    gp << "unset multiplot\n";
    gp.close();
    if (std::system(("gnuplot '" + script + "'").c_str()) != 0) {
        error = "gnuplot failed (apt-get install gnuplot-nox): " + script;
        return false;
    }
    return true;
}

}  // namespace melodex::bench
