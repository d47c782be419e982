"""What an emulated link does to each media packet of one direction: random
loss, burst loss (Gilbert-Elliott), delay with jitter and reordering, drawn
from a seed. The emulator (netem.py) applies it; tests compute the same
draws to check what the emulator did.

Every flow (source and destination address and port) of a direction draws
the same sequence from the seed, one draw of each kind per packet, so that
two receivers of like far ends over one link meet like impairments; each
kind draws from a generator of its own, so that adding loss to a profile
leaves its delays as they were."""

import random
from dataclasses import asdict, dataclass, field


@dataclass
class GilbertElliott:
    """Two states: from good to bad with probability p per packet, back with
    r; a packet is lost with loss_good in the good state and loss_bad in the
    bad one. Mean loss: (r loss_good + p loss_bad) / (p + r); mean burst
    (time in the bad state): 1 / r packets."""
    p: float
    r: float
    loss_good: float = 0.0
    loss_bad: float = 1.0

    def mean_loss(self):
        return (self.r * self.loss_good + self.p * self.loss_bad) / (self.p + self.r)


@dataclass
class Profile:
    """One direction of a link. delay_ms is the mean one-way delay added;
    jitter_ms spreads it, uniformly over delay_ms +- jitter_ms or as the
    standard deviation of a normal distribution (never below 0). A packet
    picked for reordering (reorder, a probability) is held reorder_ms longer,
    so that the packets after it overtake it. Loss is drawn first: a lost
    packet is neither delayed nor reordered."""
    loss: float = 0.0
    burst: GilbertElliott = None
    delay_ms: float = 0.0
    jitter_ms: float = 0.0
    distribution: str = "uniform"
    reorder: float = 0.0
    reorder_ms: float = 0.0

    def __post_init__(self):
        if isinstance(self.burst, dict):
            self.burst = GilbertElliott(**self.burst)
        if self.distribution not in ("uniform", "normal"):
            raise ValueError("distribution is uniform or normal, not %r" % self.distribution)

    def to_dict(self):
        return asdict(self)

    def describe(self):
        parts = []
        if self.delay_ms or self.jitter_ms:
            parts.append("%g ms +- %g ms%s" % (self.delay_ms, self.jitter_ms,
                                               " (normal)" if self.distribution == "normal" else ""))
        if self.loss:
            parts.append("%g %% loss" % (100 * self.loss))
        if self.burst:
            parts.append("burst loss %.3g %% (p %g, r %g)" % (100 * self.burst.mean_loss(), self.burst.p,
                                                             self.burst.r))
        if self.reorder:
            parts.append("%g %% reordered by %g ms" % (100 * self.reorder, self.reorder_ms))
        return ", ".join(parts) or "calm"


DIRECTIONS = ("inbound", "outbound")     # far side to near side, and back


@dataclass
class Flow:
    """The draws of one flow: next_packet() gives the delay in seconds of
    its next packet, or None when the packet is lost."""
    profile: Profile
    seed: int
    direction: str
    bad: bool = False
    reordered: bool = False     # the last packet's
    rngs: dict = field(default_factory=dict)

    def __post_init__(self):
        for kind in ("loss", "burst", "delay", "reorder"):
            self.rngs[kind] = random.Random("%d/%s/%s" % (self.seed, self.direction, kind))

    def next_packet(self):
        pr, rng = self.profile, self.rngs
        lost = rng["loss"].random() < pr.loss
        u = rng["burst"].random()
        if pr.burst:
            self.bad = (u >= pr.burst.r) if self.bad else (u < pr.burst.p)
            lost |= rng["burst"].random() < (pr.burst.loss_bad if self.bad else pr.burst.loss_good)
        else:
            rng["burst"].random()
        if pr.distribution == "normal":
            spread = rng["delay"].gauss(0.0, 1.0) * pr.jitter_ms
        else:
            spread = (2 * rng["delay"].random() - 1) * pr.jitter_ms
        self.reordered = rng["reorder"].random() < pr.reorder and not lost
        if lost:
            return None
        ms = max(0.0, pr.delay_ms + spread) + (pr.reorder_ms if self.reordered else 0.0)
        return ms / 1000.0


def planned(profile, seed, direction, count):
    """The delays (seconds, None for lost) that a flow's first count packets
    get."""
    flow = Flow(profile, seed, direction)
    return [flow.next_packet() for _ in range(count)]
