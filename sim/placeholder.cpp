// Replaced by the simulator.
