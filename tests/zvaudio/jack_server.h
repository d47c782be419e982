// A JACK server with the dummy backend under a private name: real
// PortAudio callback streams paced at 100 periods a second.
#pragma once

#include <string>
#include <sys/types.h>

class jack_server {
public:
	// Starts the server and waits until clients can connect; the process's
	// JACK_DEFAULT_SERVER names it.
	bool start(int rate = 48000, int period = 480, int in_channels = 2, int out_channels = 2);
	void stop();
	~jack_server() { stop(); }

	const std::string &name() const { return name_; }

private:
	pid_t pid_ = -1;
	std::string name_;
};
